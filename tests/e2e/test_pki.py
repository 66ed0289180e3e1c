"""A throwaway certificate authority for the TLS tests, made with the
openssl command: one CA and server certificates signed by it, each for the
names and addresses given (subjectAltName), plus one for a host the tests
never connect to. Nothing here is trusted by the system.

  make_pki(folder, {"good": ["127.0.0.91", "mail.tolvex.test"]})
  -> Pki with .ca (PEM path), .cert("good"), .key("good")

As a command: test_pki.py FOLDER NAME=SAN[,SAN...] ...
"""

import ipaddress
import os
import subprocess
import sys


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def _san(names):
    out = []
    for n in names:
        try:
            ipaddress.ip_address(n)
            out.append(f"IP:{n}")
        except ValueError:
            out.append(f"DNS:{n}")
    return ",".join(out)


class Pki:
    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.pem")
        self.ca_key = os.path.join(folder, "ca.key")

    def cert(self, name):
        return os.path.join(self.folder, f"{name}.pem")

    def key(self, name):
        return os.path.join(self.folder, f"{name}.key")


def make_pki(folder, servers, ca_name="Tolvex Test CA"):
    """Creates the CA once per folder, then one certificate per entry of
    `servers` (name -> list of host names and IP addresses); the first
    name is also the certificate's common name. A list that starts with
    "CN-only" makes a certificate whose one name is its common name, the
    next entry, without subjectAltName."""
    os.makedirs(folder, exist_ok=True)
    pki = Pki(folder)
    if not os.path.exists(pki.ca):
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                 "-subj", f"/CN={ca_name}", "-keyout", pki.ca_key, "-out", pki.ca,
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    for name, names in servers.items():
        if os.path.exists(pki.cert(name)):
            continue
        csr = os.path.join(folder, f"{name}.csr")
        ext = os.path.join(folder, f"{name}.ext")
        cn_only = names[0] == "CN-only"
        if cn_only:
            names = names[1:]
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    + ("" if cn_only else f"subjectAltName={_san(names)}\n"))
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={names[0]}",
                 "-keyout", pki.key(name), "-out", csr, cwd=folder)
        _openssl("x509", "-req", "-in", csr, "-CA", pki.ca, "-CAkey", pki.ca_key,
                 "-CAcreateserial", "-days", "30", "-extfile", ext, "-out", pki.cert(name),
                 cwd=folder)
        os.chmod(pki.key(name), 0o644)  # read by daemons running as their own users
    return pki


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    specs = {}
    for arg in sys.argv[2:]:
        name, _, sans = arg.partition("=")
        specs[name] = sans.split(",")
    p = make_pki(sys.argv[1], specs)
    print(p.ca)
