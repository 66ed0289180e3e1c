"""A scripted SMTP server for the end-to-end tests.

It listens on one address (port 25 unless told otherwise), serves each
connection in turn from a background thread, and follows a Script: the
greeting (possibly in pieces, or none), a reply per command verb, a reply
per recipient, silence, closing the connection. It records every command
line exactly as received and the exact bytes of the message data up to and
including the terminator, and gives the message with the dot-stuffing
removed.

Given a certificate it also speaks TLS: after a STARTTLS answered 220, or
from the first byte (implicit_tls), with replies of its own once TLS is up;
it carries AUTH PLAIN and AUTH LOGIN exchanges and records the credentials
and whether they came over TLS.
"""

import fcntl
import struct
import termios
import errno
import socket
import ssl
import threading
import time

from smtp_tls import (CLOSE, Auth, TlsAndAuth, ehlo_reply, in_pieces,  # noqa: F401 (re-exported)
                      server_context)

TERMINATOR = b"\r\n.\r\n"
# How long one reply may take to be taken by the client.
SEND_TIMEOUT = 10.0


def unstuff(data):
    """Message bytes without the final terminator line and with the leading
    dot of every dot-stuffed line removed."""
    if data.endswith(TERMINATOR):
        body = data[: -len(b".\r\n")]
    elif data == b".\r\n":
        body = b""
    else:
        body = data
    lines = body.split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines)


class Script:
    """What the server says.

    A reply is bytes (sent in one write), None (say nothing), or a list of
    bytes (each sent in its own write), floats (pause so many seconds) and
    CLOSE. `greeting` is such a reply too. `rcpt` overrides the RCPT reply
    per recipient (index 0 = first RCPT). `on_message` is called with the
    Session when the terminator has arrived, before the reply goes out.

    `tls_replies` override `replies` once TLS is up (say, an EHLO reply
    without STARTTLS). The AUTH reply is the one after the last credential
    line (a callable AUTH reply is called with the Auth exchange and
    returns the reply); `bearer_ok(token)` False answers a bearer token with the error
    challenge and 535. `handshake=CLOSE`: read the client's first handshake bytes, then
    close instead of answering them.
    """

    def __init__(self, greeting=b"220 e2e.test ESMTP ready\r\n", replies=None,
                 rcpt=None, on_message=None, tls_replies=None, handshake=None,
                 bearer_ok=None):
        self.greeting = greeting
        # XOAUTH2/OAUTHBEARER: whether a token is accepted; a refused one
        # gets the error challenge, then 535.
        self.bearer_ok = bearer_ok or (lambda token: True)
        self.replies = {
            "HELO": b"250 e2e.test\r\n",
            "EHLO": b"250 e2e.test\r\n",
            "MAIL": b"250 2.1.0 Ok\r\n",
            "RCPT": b"250 2.1.5 Ok\r\n",
            "DATA": b"354 End data with <CR><LF>.<CR><LF>\r\n",
            "MESSAGE": b"250 2.0.0 Ok: queued\r\n",
            "QUIT": b"221 2.0.0 Bye\r\n",
            "RSET": b"250 Ok\r\n",
            "NOOP": b"250 Ok\r\n",
            "STARTTLS": b"220 2.0.0 Ready to start TLS\r\n",
            "AUTH": b"235 2.7.0 Authentication successful\r\n",
        }
        if replies:
            self.replies.update(replies)
        self.tls_replies = dict(tls_replies or {})
        self.rcpt = list(rcpt or [])
        self.on_message = on_message
        self.handshake = handshake


class Session:
    """What one connection carried."""

    def __init__(self):
        self.accepted_at = time.monotonic()  # the connection was taken
        self.commands = []    # command lines, CR LF included
        self.command_times = []  # time.monotonic() at each command's arrival
        self.data = b""       # message bytes as on the wire, terminator included
        self.complete = False # the terminator arrived
        self.closed_by_peer = False
        self.received_at = {}  # verb -> time.monotonic() of its first arrival
        self.command_tls = []  # per command: it came over TLS
        self.tls = False      # TLS was set up
        self.tls_error = None  # why a TLS handshake did not complete
        self.auth = []        # Auth exchanges
        self.conn = None      # the connection's socket while it is open

    def unread(self):
        """Bytes the client sent that the server has not read yet (0 once
        the connection is closed)."""
        try:
            return struct.unpack("i", fcntl.ioctl(self.conn, termios.FIONREAD, b"\0" * 4))[0]
        except (OSError, TypeError, ValueError):
            return 0

    @property
    def message(self):
        return unstuff(self.data)

    def verbs(self):
        return [c[:4].decode("ascii", "replace").upper() for c in self.commands]


class _Link:
    """One connection: its socket (plain, then maybe TLS) and the bytes
    read past the last line taken."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""


class LoopbackListener:
    """A listening socket whose connections a thread of its own serves
    (`_serve`, taking them from `_connections()`) from `with` until stopped."""

    def _listen(self, address, port, backlog):
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        bind_when_free(self._listener, (address, port))
        self._listener.listen(backlog)
        self._listener.settimeout(0.05)
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=10)
        self._listener.close()

    def _connections(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            yield conn


class ScriptedSmtpServer(TlsAndAuth, LoopbackListener):
    """`tls` = (certificate PEM, key PEM) enables STARTTLS; with
    `implicit_tls` the handshake comes before the greeting; `tls_setup`
    (given the ssl.SSLContext) narrows what the server allows."""

    def __init__(self, address, script=None, port=25, tls=None, implicit_tls=False,
                 tls_setup=None):
        self.address = address
        self.port = port
        # A list of scripts: one per connection in turn, the last for the rest.
        self.scripts = list(script) if isinstance(script, list) else [script or Script()]
        self.script = self.scripts[0]
        self._context = server_context(tls) if tls else None
        if tls_setup and self._context:
            tls_setup(self._context)
        self.implicit_tls = implicit_tls
        self.sessions = []
        self.errors = []
        self.ragged_eofs = 0  # TLS connections the client cut without close_notify
        self.message_event = threading.Event()  # a terminator arrived
        self.session_done = threading.Event()   # a connection ended
        self.connected = threading.Event()
        self._lock = threading.Lock()
        self._listen(address, port, 4)

    # -- serving ---------------------------------------------------------

    def _serve(self):
        for conn in self._connections():
            session = Session()
            with self._lock:
                self.script = self.scripts[min(len(self.sessions), len(self.scripts) - 1)]
                self.sessions.append(session)
            self.connected.set()
            link = _Link(conn)
            session.conn = conn
            try:
                self._converse(link, session)
            except (ConnectionResetError, BrokenPipeError):
                session.closed_by_peer = True
            except Exception as e:  # recorded; the test decides
                self.errors.append(repr(e))
            finally:
                for sock in (link.sock, conn):
                    try:
                        sock.close()
                    except OSError:
                        pass
                self.session_done.set()

    def _say(self, conn, reply):
        """Sends a reply; False when it closed the connection."""
        if reply is None:
            return True
        items = reply if isinstance(reply, list) else [reply]
        for item in items:
            if item is CLOSE:
                conn.shutdown(socket.SHUT_RDWR)
                return False
            if isinstance(item, (int, float)):
                self._pause(item)
            else:
                # The reads poll every 50 ms; a send must not be cut off by
                # that: a client may leave a flood unread for a tick before
                # it closes, which is what the hostile cases look for.
                poll = conn.gettimeout()
                conn.settimeout(SEND_TIMEOUT)
                try:
                    conn.sendall(item)
                finally:
                    conn.settimeout(poll)
        return True

    def _pause(self, seconds):
        self._stop.wait(seconds)

    def _recv(self, conn):
        """Next bytes from the peer; b"" at its close or at stop()."""
        while not self._stop.is_set():
            try:
                chunk = conn.recv(1 << 20)
            except socket.timeout:
                continue
            except ssl.SSLEOFError:
                self.ragged_eofs += 1
                return b""
            return chunk
        return b""

    def _receive_data(self, conn, session, data):
        """Reads the message up to its terminator into session.data; returns
        the bytes that follow it, or None when the connection ended first."""
        data = bytearray(data)
        scan_from = 0
        while True:
            if data.startswith(b".\r\n"):
                end = 3  # an empty message
            else:
                pos = data.find(TERMINATOR, scan_from)
                end = pos + len(TERMINATOR) if pos >= 0 else -1
            if end >= 0:
                session.data = bytes(data[:end])
                session.complete = True
                return bytes(data[end:])
            # Only the tail can complete the terminator: scan just that.
            scan_from = max(0, len(data) - len(TERMINATOR) + 1)
            chunk = self._recv(conn)
            if not chunk:
                session.closed_by_peer = not self._stop.is_set()
                return None
            data += chunk

    def _read_line(self, link):
        """Next line, CR LF included; None when the connection ended (what
        came after the last line stays in link.buf)."""
        while True:
            nl = link.buf.find(b"\r\n")
            if nl >= 0:
                line, link.buf = link.buf[: nl + 2], link.buf[nl + 2:]
                return line
            chunk = self._recv(link.sock)
            if not chunk:
                return None
            link.buf += chunk

    def _reply(self, verb, session, rcpt_index):
        if verb == "RCPT" and rcpt_index < len(self.script.rcpt):
            return self.script.rcpt[rcpt_index]
        if session.tls and verb in self.script.tls_replies:
            return self.script.tls_replies[verb]
        return self.script.replies.get(verb, b"502 5.5.2 Error: command not recognized\r\n")

    def _converse(self, link, session):
        link.sock.settimeout(0.05)
        if self.implicit_tls and not self._start_tls(link, session):
            return
        if not self._say(link.sock, self.script.greeting):
            return
        rcpt_index = 0
        while True:
            line = self._read_line(link)
            if line is None:
                if link.buf:
                    session.commands.append(link.buf)
                    session.command_tls.append(session.tls)
                session.closed_by_peer = not self._stop.is_set()
                return
            session.commands.append(line)
            session.command_tls.append(session.tls)
            session.command_times.append(time.monotonic())
            verb = line[:4].decode("ascii", "replace").upper()
            if verb == "STAR":
                verb = line[:8].decode("ascii", "replace").upper()
            session.received_at.setdefault(verb, time.monotonic())
            reply = self._reply(verb, session, rcpt_index)
            if verb == "RCPT":
                rcpt_index += 1
            if verb == "AUTH":
                if not self._authenticate(link, session, line):
                    return
                continue
            if not self._say(link.sock, reply):
                return
            if verb == "STARTTLS" and reply is not None and _first_code(reply) == b"220":
                if not self._start_tls(link, session):
                    return
            if verb == "DATA" and reply is not None and _first_code(reply) == b"354":
                link.buf = self._receive_data(link.sock, session, link.buf)
                if link.buf is None:
                    return
                session.received_at.setdefault("MESSAGE", time.monotonic())
                if self.script.on_message:
                    self.script.on_message(session)
                self.message_event.set()
                if not self._say(link.sock, self._reply("MESSAGE", session, 0)):
                    return


def bind_when_free(sock, where, seconds=180):
    """Binds, waiting while another run of these tests (another build's
    suite on the same machine) still holds the address."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            sock.bind(where)
            return
        except OSError as e:
            if e.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def _first_code(reply):
    items = reply if isinstance(reply, list) else [reply]
    for item in items:
        if isinstance(item, bytes) and item:
            return item[:3]
    return b""


if __name__ == "__main__":
    import argparse

    ap = argparse.ArgumentParser(description="Scripted SMTP server that accepts everything")
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=25)
    args = ap.parse_args()
    with ScriptedSmtpServer(args.address, port=args.port) as srv:
        print(f"listening on {args.address}:{args.port}", flush=True)
        seen = 0
        try:
            while True:
                srv.message_event.wait(1)
                srv.message_event.clear()
                while seen < len(srv.sessions) and srv.sessions[seen].complete:
                    s = srv.sessions[seen]
                    print(b"".join(s.commands).decode("latin-1"), end="")
                    print(f"[message of {len(s.message)} bytes]", flush=True)
                    seen += 1
        except KeyboardInterrupt:
            pass
