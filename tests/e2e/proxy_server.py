"""A proxy for the end-to-end tests: HTTP CONNECT, or SOCKS5 (RFC 1928, the
name resolved here; RFC 1929 user and password). Each tunnel is relayed to
where it was asked to go; `asked` keeps (host, port) of each request,
`hosts` the Host: line of each CONNECT and `auth` whether each client's credentials were right. `refuse` makes it
refuse every tunnel: a status line for HTTP, a reply code for SOCKS5."""

import base64
import select
import socket
import threading

from smtp_server import LoopbackListener


class Proxy(LoopbackListener):
    def __init__(self, address, port, kind, user=None, password=None, refuse=None):
        self.address, self.port, self.kind = address, port, kind
        self.user, self.password, self.refuse = user, password, refuse
        self.asked, self.auth, self.errors = [], [], []
        self.hosts = []  # the Host: of each CONNECT
        self._listen(address, port, 8)

    def url(self, user=True):
        return f"{self.kind}://{self.user + '@' if user and self.user else ''}{self.address}:{self.port}"

    def _serve(self):
        for conn in self._connections():
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        upstream = None
        try:
            conn.settimeout(20)
            upstream = self._http(conn) if self.kind == "http" else self._socks(conn)
            if upstream:
                self._relay(conn, upstream)
        except Exception as e:  # recorded; the test decides
            self.errors.append(repr(e))
        finally:
            for s in (conn, upstream):
                if s:
                    s.close()

    def _open(self, host, port):
        self.asked.append((host, port))
        return socket.create_connection((host.strip("[]"), port), timeout=10)

    def _http(self, conn):
        head = b""
        while b"\r\n\r\n" not in head:
            piece = conn.recv(4096)
            if not piece or len(head) > 16384:
                return None
            head += piece
        lines = head.split(b"\r\n")
        method, target, _ = lines[0].decode("latin-1").split(" ", 2)
        headers = {k.strip().lower(): v.strip() for k, _, v in
                   (l.decode("latin-1").partition(":") for l in lines[1:] if l)}
        if self.user:
            want = "Basic " + base64.b64encode(f"{self.user}:{self.password}".encode()).decode()
            self.auth.append(headers.get("proxy-authorization") == want)
            if not self.auth[-1]:
                conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: Basic realm=\"e2e\"\r\nContent-Length: 0\r\n\r\n")
                return None
        self.hosts.append(headers.get("host"))
        if method != "CONNECT":
            conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
            return None
        if self.refuse:
            self.asked.append(tuple(target.rsplit(":", 1)))
            conn.sendall(self.refuse + b"\r\nContent-Length: 0\r\n\r\n")
            return None
        host, port = target.rsplit(":", 1)
        upstream = self._open(host, int(port))
        conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        return upstream

    def _exactly(self, conn, n):
        data = b""
        while len(data) < n:
            piece = conn.recv(n - len(data))
            if not piece:
                raise ConnectionError("the client closed in the handshake")
            data += piece
        return data

    def _socks(self, conn):
        version, count = self._exactly(conn, 2)
        methods = self._exactly(conn, count)
        want = 2 if self.user else 0
        if version != 5 or want not in methods:
            conn.sendall(b"\x05\xff")
            return None
        conn.sendall(bytes([5, want]))
        if self.user:
            _, ulen = self._exactly(conn, 2)
            user = self._exactly(conn, ulen)
            plen = self._exactly(conn, 1)[0]
            password = self._exactly(conn, plen)
            self.auth.append((user, password) == (self.user.encode(), self.password.encode()))
            conn.sendall(b"\x01\x00" if self.auth[-1] else b"\x01\x01")
            if not self.auth[-1]:
                return None
        _, command, _, atyp = self._exactly(conn, 4)
        if command != 1 or atyp != 3:  # the client sends the name for this end to resolve
            conn.sendall(b"\x05\x08\x00\x01" + bytes(6))
            return None
        host = self._exactly(conn, self._exactly(conn, 1)[0]).decode("ascii")
        port = int.from_bytes(self._exactly(conn, 2), "big")
        if self.refuse:
            self.asked.append((host, port))
            conn.sendall(bytes([5, self.refuse, 0, 1]) + bytes(6))
            return None
        upstream = self._open(host, port)
        conn.sendall(b"\x05\x00\x00\x01" + socket.inet_aton(self.address) + self.port.to_bytes(2, "big"))
        return upstream

    def _relay(self, a, b):
        ends = {a: b, b: a}
        while True:
            ready, _, _ = select.select(list(ends), [], [], 30)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                ends[s].sendall(data)
