"""TLS and SMTP AUTH for the scripted SMTP server (smtp_server.py): the
server side of STARTTLS and implicit TLS with Python's ssl module, AUTH
PLAIN and AUTH LOGIN exchanges that record the credentials a client sent
and whether TLS was up, and helpers for multi-line EHLO replies."""

import base64
import binascii
import socket
import ssl

CLOSE = object()  # in a reply sequence: close the connection here


def server_context(tls):
    """A server context from (certificate PEM, key PEM)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*tls)
    return context


def ehlo_reply(name, *keywords):
    """A multi-line 250 reply: the server name, then one keyword a line."""
    lines = [name, *keywords]
    return b"".join(b"250" + (b" " if i == len(lines) - 1 else b"-") + l.encode("ascii") + b"\r\n"
                    for i, l in enumerate(lines))


def in_pieces(reply, count, pause=0.2):
    """A reply cut into `count` writes of about equal size with a pause
    between them (so they arrive as separate packets)."""
    size = -(-len(reply) // count)
    pieces = [reply[i:i + size] for i in range(0, len(reply), size)]
    out = []
    for piece in pieces:
        out += [piece, pause]
    return out[:-1]


class Auth:
    """One AUTH exchange: mechanism, the credentials as decoded (bytes; None
    when missing or not valid Base64), the client's lines after the command,
    and whether TLS was up."""

    def __init__(self, mechanism, tls):
        self.mechanism = mechanism
        self.tls = tls
        self.authzid = self.user = self.password = None  # password: the token for OAuth
        self.initial = None  # the decoded initial response of a bearer mechanism
        self.lines = []
        self.encoded = []    # the credential lines as sent (Base64, no CR LF)

    def __repr__(self):
        return f"Auth({self.mechanism}, user={self.user!r}, tls={self.tls})"


class TlsAndAuth:
    """Mixed into ScriptedSmtpServer: uses its script, _say, _read_line,
    _reply, errors and _context."""

    def _start_tls(self, link, session):
        """The server's side of the handshake; False when it did not
        complete (the reason is in session.tls_error)."""
        if self._context is None:
            self.errors.append("TLS asked for, but the server has no certificate")
            return False
        if link.buf:
            # Plain bytes sent before the handshake must not count as sent
            # under TLS.
            self.errors.append(f"client sent {link.buf!r} before the TLS handshake")
            link.buf = b""
        link.sock.settimeout(30)
        if self.script.handshake is CLOSE:
            try:
                link.sock.recv(1 << 16)
            except OSError:
                pass
            session.tls_error = "closed by the script during the handshake"
            link.sock.shutdown(socket.SHUT_RDWR)
            return False
        try:
            # A client that ends without close_notify shows as SSLEOFError.
            link.sock = self._context.wrap_socket(link.sock, server_side=True,
                                                  suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError) as e:
            session.tls_error = getattr(e, "reason", None) or str(e) or type(e).__name__
            return False
        link.sock.settimeout(0.05)
        session.tls = True
        return True

    def _authenticate(self, link, session, line):
        """Carries one AUTH exchange to its final reply, recording what the
        client sent; False when the connection ended."""
        words = line.rstrip(b"\r\n").split(b" ")
        mechanism = words[1].upper().decode("ascii", "replace") if len(words) > 1 else ""
        initial = words[2] if len(words) > 2 else None
        auth = Auth(mechanism, session.tls)
        session.auth.append(auth)

        def answer(prompt):
            if not self._say(link.sock, prompt):
                return None
            got = self._read_line(link)
            if got is None:
                return None
            auth.lines.append(got)
            return got.rstrip(b"\r\n")

        if mechanism == "PLAIN":
            token = initial if initial is not None else answer(b"334 \r\n")
            if token is None:
                return False
            auth.encoded.append(token)
            fields = (_b64(token) or b"").split(b"\0")
            if len(fields) == 3:
                auth.authzid, auth.user, auth.password = fields
        elif mechanism == "LOGIN":
            user = initial if initial is not None else answer(b"334 VXNlcm5hbWU6\r\n")
            password = None if user is None else answer(b"334 UGFzc3dvcmQ6\r\n")
            if password is None:
                return False
            auth.encoded += [user, password]
            auth.user, auth.password = _b64(user), _b64(password)
        elif mechanism in ("XOAUTH2", "OAUTHBEARER"):
            token = initial if initial is not None else answer(b"334 \r\n")
            if token is None:
                return False
            auth.encoded.append(token)
            auth.initial = _b64(token) or b""
            fields = auth.initial.split(b"\x01")
            if mechanism == "XOAUTH2" and fields[0].startswith(b"user="):
                auth.user = fields[0][5:]
            elif mechanism == "OAUTHBEARER" and fields[0].startswith(b"n,a="):
                auth.user = fields[0][4:].rstrip(b",").replace(b"=2C", b",").replace(b"=3D", b"=")
            for field in fields[1:]:
                if field.startswith(b"auth=Bearer "):
                    auth.password = field[len(b"auth=Bearer "):]
            if auth.password is not None and not self.script.bearer_ok(auth.password):
                status = base64.b64encode(b'{"status":"401","schemes":"bearer",'
                                          b'"scope":"https://mail.google.com/"}')
                if answer(b"334 " + status + b"\r\n") is None:
                    return False
                return self._say(link.sock, b"535 5.7.8 Username and Password not accepted\r\n")
        else:
            return self._say(link.sock, b"504 5.5.4 Unrecognized authentication type\r\n")
        if auth.password is None:
            return self._say(link.sock, b"501 5.5.2 Cannot decode response\r\n")
        reply = self._reply("AUTH", session, 0)
        # A callable reply is made from the exchange: a server that echoes it.
        return self._say(link.sock, reply(auth) if callable(reply) else reply)


def _b64(data):
    try:
        return base64.b64decode(data, validate=True)
    except (binascii.Error, ValueError):
        return None
