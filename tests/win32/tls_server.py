#!/usr/bin/env python3
"""TLS peers for the Windows TLS tests (tests/win32/tls_test.cpp): one per
loopback address 127.0.0.141-159, port 4465, each with its own certificate
and behaviour (the table PEERS). Started by tools/test-win.sh:

  tls_server.py --pki DIR --ready FILE [--limit SECONDS]

Makes the certificates in DIR with tests/e2e/test_pki.py (DIR/ca.pem is
the CA the servers' certificates come from; DIR/other/ca.pem a CA that
signs none of them), writes FILE once every address listens, logs one line
per connection on standard output, and serves until it is ended or the
time limit passes.
"""

import argparse
import os
import socket
import ssl
import subprocess
import sys
import threading
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from test_pki import make_pki  # noqa: E402

PORT = 4465
NAME = "mail.tolvex.test"

# address: (certificate, behaviour, TLS versions)
PEERS = {
    "127.0.0.141": ("p141", "echo", "default"),
    "127.0.0.142": ("p142", "echo", "1.2"),
    "127.0.0.143": ("p143", "echo", "1.3"),
    "127.0.0.144": ("elsewhere", "echo", "default"),  # names another host
    "127.0.0.145": ("p141", "echo", "default"),  # the certificate of .141
    "127.0.0.146": ("p146", "echo", "default"),
    "127.0.0.147": ("p147", "echo", "default"),
    "127.0.0.148": ("p148", "echo", "legacy"),  # TLS 1.0 and 1.1 only
    "127.0.0.149": (None, "hangup", None),  # reads the ClientHello, closes
    "127.0.0.150": ("p150", "greet_close", "default"),  # greeting, close_notify
    "127.0.0.151": ("expired", "echo", "default"),
    "127.0.0.152": (None, "plaintext", None),  # an SMTP greeting, no TLS
    "127.0.0.153": ("p153", "echo", "default"),
    "127.0.0.154": ("p154", "echo", "default"),
    "127.0.0.155": ("p155", "echo", "default"),
    "127.0.0.156": ("p156", "echo", "default"),
    "127.0.0.157": ("p157", "renegotiate", "1.2"),  # asks for a new handshake
}


def log(*args):
    print(*args, flush=True)


def make_expired(pki, folder):
    """A certificate for 127.0.0.151 whose validity ended before it began."""
    cert = os.path.join(folder, "expired.pem")
    if os.path.exists(cert):
        return
    key = os.path.join(folder, "expired.key")
    csr = os.path.join(folder, "expired.csr")
    ext = os.path.join(folder, "expired.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                f"subjectAltName=IP:127.0.0.151,DNS:{NAME}\n")
    run = lambda *a: subprocess.run(["openssl", *a], cwd=folder, check=True,  # noqa: E731
                                    capture_output=True, timeout=60)
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.151", "-keyout", key,
        "-out", csr)
    run("x509", "-req", "-in", csr, "-CA", pki.ca, "-CAkey", pki.ca_key, "-CAcreateserial",
        "-days", "-1", "-extfile", ext, "-out", cert)


def make_certificates(folder):
    certs = {"elsewhere": ["elsewhere.tolvex.test", "127.0.0.99"]}
    for addr, (cert, _, _) in PEERS.items():
        if cert and cert.startswith("p"):
            certs.setdefault(cert, [addr, NAME])  # p141 is also shown on .145
    pki = make_pki(folder, certs)
    make_expired(pki, folder)
    make_pki(os.path.join(folder, "other"), {}, ca_name="Tolvex Other CA")
    return pki


def context(folder, cert, versions):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(folder, f"{cert}.pem"), os.path.join(folder, f"{cert}.key"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        if versions == "1.2":
            ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        elif versions == "1.3":
            ctx.minimum_version = ssl.TLSVersion.TLSv1_3
        elif versions == "legacy":
            ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.maximum_version = ssl.TLSVersion.TLSv1_1
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    return ctx


def echo(conn, addr):
    """Sends back what comes until the client ends; answers its close_notify."""
    total = 0
    while True:
        try:
            data = conn.recv(65536)
        except ssl.SSLEOFError:
            log(addr, f"echo: {total} bytes, TCP closed without close_notify")
            return
        if not data:
            break
        conn.sendall(data)
        total += len(data)
    log(addr, f"echo: {total} bytes, close_notify received")
    try:
        conn.unwrap()
    except (OSError, ssl.SSLError):
        pass


def renegotiate(conn, addr, folder, cert):
    """TLS 1.2 with OpenSSL through pyOpenSSL (the ssl module cannot ask
    for renegotiation): a HelloRequest right after the handshake, a
    greeting, then one echo. The client may renegotiate or ignore it."""
    from OpenSSL import SSL
    conn.settimeout(None)  # pyOpenSSL wants a blocking socket
    ctx = SSL.Context(SSL.TLS_SERVER_METHOD)
    ctx.set_min_proto_version(SSL.TLS1_2_VERSION)
    ctx.set_max_proto_version(SSL.TLS1_2_VERSION)
    ctx.use_certificate_file(os.path.join(folder, f"{cert}.pem"))
    ctx.use_privatekey_file(os.path.join(folder, f"{cert}.key"))
    tls = SSL.Connection(ctx, conn)
    tls.set_accept_state()
    tls.do_handshake()
    tls.renegotiate()
    tls.do_handshake()  # sends the HelloRequest
    tls.sendall(b"250 after renegotiation\r\n")
    try:
        data = tls.recv(65536)
        tls.sendall(data)
        log(addr, f"renegotiate: echoed {len(data)} bytes, renegotiations {tls.total_renegotiations()}")
    except SSL.Error as e:
        log(addr, f"renegotiate: {e!r}, renegotiations {tls.total_renegotiations()}")


def serve(conn, addr, folder):
    cert, behaviour, versions = PEERS[addr]
    conn.settimeout(30)
    try:
        if behaviour == "hangup":
            conn.recv(65536)
            log(addr, "hangup: closed after the ClientHello")
            return
        if behaviour == "plaintext":
            conn.sendall(b"220 mail.tolvex.test ESMTP ready\r\n")
            conn.recv(65536)
            log(addr, "plaintext: greeting sent")
            return
        if behaviour == "renegotiate":
            renegotiate(conn, addr, folder, cert)
            return
        tls = context(folder, cert, versions).wrap_socket(conn, server_side=True,
                                                          suppress_ragged_eofs=False)
        log(addr, f"handshake: {tls.version()} {tls.cipher()[0]}")
        if behaviour == "greet_close":
            tls.sendall(b"220 mail.tolvex.test ESMTP ready\r\n")
            tls.settimeout(5)
            try:
                tls.unwrap()
            except (OSError, ssl.SSLError):
                pass
            log(addr, "greet_close: close_notify sent")
        else:
            echo(tls, addr)
    except Exception as e:  # noqa: BLE001 - one line per failed connection
        log(addr, f"{behaviour}: {type(e).__name__}: {e}")
    finally:
        conn.close()


def listen(addr, folder):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, PORT))
    s.listen(8)

    def accept_loop():
        while True:
            conn, _ = s.accept()
            threading.Thread(target=serve, args=(conn, addr, folder), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pki", required=True)
    ap.add_argument("--ready", required=True)
    ap.add_argument("--limit", type=float, default=1200)
    args = ap.parse_args()
    make_certificates(args.pki)
    for addr in PEERS:
        listen(addr, args.pki)
    with open(args.ready, "w") as f:
        f.write(f"{PORT}\n")
    log("listening on", ", ".join(PEERS), "port", PORT)
    threading.Event().wait(args.limit)
    log("time limit reached")


if __name__ == "__main__":
    main()
