"""Mail submission peer: the private Postfix instance of postfix_peer.py with
TLS and SMTP AUTH, and a private Dovecot instance as its only SASL
authentication server (one user in a passwd-file). Everything lives under
the Postfix peer's temporary folder; certificates come from test_pki.py.

Services, all on one loopback address:
  25    plain SMTP, as PostfixPeer (no TLS, no AUTH)
  587   STARTTLS required, AUTH offered only under TLS and required to send
  465   TLS from the first byte, AUTH required to send
  2525  no STARTTLS, AUTH offered on the plain connection (a client that
        sends credentials where it should not shows up in the log)
  2587  as 587, with a certificate for another host name
Mail goes into the same Maildirs as PostfixPeer's.

Needs root and Debian's postfix, dovecot-core and openssl packages.
"""

import os
import re
import socket
import subprocess
import time

from postfix_peer import PostfixPeer
from test_pki import make_pki

SUBMISSION, SMTPS, NO_STARTTLS, WRONG_NAME = 587, 465, 2525, 2587

# Per service: port, syslog name (to find its sessions in the log), options.
_REQUIRE_AUTH = ["smtpd_sasl_auth_enable=yes",
                 "smtpd_client_restrictions=permit_sasl_authenticated,reject",
                 "smtpd_relay_restrictions=permit_sasl_authenticated,reject"]
SERVICES = {
    SUBMISSION: ("postfix/submission", ["smtpd_tls_security_level=encrypt",
                                        "smtpd_tls_auth_only=yes", *_REQUIRE_AUTH]),
    SMTPS: ("postfix/smtps", ["smtpd_tls_wrappermode=yes", *_REQUIRE_AUTH]),
    NO_STARTTLS: ("postfix/nostarttls", ["smtpd_tls_security_level=none",
                                         "smtpd_tls_auth_only=no", *_REQUIRE_AUTH]),
    WRONG_NAME: ("postfix/wrongname", ["smtpd_tls_security_level=encrypt",
                                       "smtpd_tls_auth_only=yes", *_REQUIRE_AUTH]),
}

DOVECOT_CONF = """\
base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
protocols = none
ssl = no
default_internal_user = dovecot
default_login_user = dovenull
auth_mechanisms = plain login{mechanisms}
# Postfix decides where plain-text mechanisms are offered.
disable_plaintext_auth = no
auth_verbose = yes
auth_failure_delay = 0
passdb {{
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN username_format=%u {root}/users
}}
{oauth2}userdb {{
  driver = static
  args = uid=65534 gid=65534 home=/nonexistent
}}
service auth {{
  unix_listener {socket} {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
"""


# Tokens checked by introspection (RFC 7662) at an OAuth provider.
OAUTH2_PASSDB = """\
passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {conf}
}}
"""
OAUTH2_CONF = """\
introspection_mode = post
introspection_url = {url}
tls_ca_cert_file = {ca}
username_attribute = username
active_attribute = active
active_value = true
"""


class DovecotAuth:
    """A Dovecot that only answers authentication requests on one socket.
    With `oauth2` = (introspection URL, CA file) it also takes XOAUTH2 and
    OAUTHBEARER tokens, asking the provider about each."""

    def __init__(self, root, user, password, oauth2=None):
        self.root = root
        self.socket = os.path.join(root, "auth-client")
        self.log = os.path.join(root, "dovecot.log")
        self.proc = None
        os.makedirs(root, 0o755, exist_ok=True)
        with open(os.path.join(root, "users"), "w") as f:
            f.write(f"{user}:{{PLAIN}}{password}::::::\n")
        os.chmod(os.path.join(root, "users"), 0o644)
        self.conf = os.path.join(root, "dovecot.conf")
        passdb = mechanisms = ""
        if oauth2:
            conf = os.path.join(root, "oauth2.conf.ext")
            with open(conf, "w") as f:
                f.write(OAUTH2_CONF.format(url=oauth2[0], ca=oauth2[1]))
            passdb, mechanisms = OAUTH2_PASSDB.format(conf=conf), " xoauth2 oauthbearer"
        with open(self.conf, "w") as f:
            f.write(DOVECOT_CONF.format(root=root, socket=self.socket, oauth2=passdb,
                                        mechanisms=mechanisms))

    def start(self, seconds=30):
        self.proc = subprocess.Popen(["dovecot", "-F", "-c", self.conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                out = self.proc.stdout.read().decode("utf-8", "replace")
                raise RuntimeError(f"dovecot ended ({self.proc.returncode}): {out}{self.log_text()}")
            if self._answers():
                return
            time.sleep(0.1)
        raise RuntimeError(f"dovecot never opened {self.socket}; log:\n{self.log_text()}")

    def _answers(self):
        """The auth socket takes a connection and speaks first (VERSION)."""
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(2)
        try:
            s.connect(self.socket)
            return s.recv(64).startswith(b"VERSION")
        except OSError:
            return False
        finally:
            s.close()

    def stop(self):
        """Ends the master, which takes its auth, log and config processes
        with it."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc.stdout.close()
        self.proc = None

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return "(no log)"


class SubmissionPeer(PostfixPeer):
    """PostfixPeer plus the TLS and AUTH services above. `user`/`password`
    is the one account Dovecot knows; `pki` holds the CA (`pki.ca`) that
    signed the server's certificates."""

    def __init__(self, address, user, password, oauth2_url=None, **kw):
        super().__init__(address, **kw)
        self.ports = [25, *SERVICES]
        self.user, self.password = user, password
        self.oauth2_url = oauth2_url  # introspection endpoint: Dovecot takes tokens
        self.dovecot = None
        self.pki = make_pki(os.path.join(self.root, "pki"), {
            "server": [address, "mx." + self.domain],
            "other": ["mx.elsewhere.test"],
        })

    def prepare(self):
        self.dovecot = DovecotAuth(os.path.join(self.root, "dovecot"), self.user, self.password,
                                   (self.oauth2_url, self.pki.ca) if self.oauth2_url else None)
        self.dovecot.start()

    def settings(self):
        conf = super().settings()
        conf.update({
            "smtpd_tls_cert_file": self.pki.cert("server"),
            "smtpd_tls_key_file": self.pki.key("server"),
            "smtpd_tls_loglevel": "1",
            "smtpd_tls_received_header": "yes",
            "smtpd_sasl_type": "dovecot",
            "smtpd_sasl_path": self.dovecot.socket,
            "smtpd_sasl_auth_enable": "no",
            # Date: and Message-ID: must come from the client, not be added here.
            "local_header_rewrite_clients": "",
        })
        return conf

    def master_cf(self):
        lines = [super().master_cf(), "tlsmgr    unix  -       -       n       1000?   1       tlsmgr\n"]
        for port, (name, options) in SERVICES.items():
            if port == WRONG_NAME:
                options = options + [f"smtpd_tls_cert_file={self.pki.cert('other')}",
                                     f"smtpd_tls_key_file={self.pki.key('other')}"]
            lines.append(f"{self.address}:{port} inet n - n - - smtpd\n")
            lines.extend(f"  -o {o}\n" for o in [f"syslog_name={name}", *options])
        return "".join(lines)

    def stop(self):
        try:
            super().stop()
        finally:
            if self.dovecot:
                self.dovecot.stop()

    def log_mark(self):
        """Where the log ends now: sessions() after it see only later ones."""
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def sessions(self, port, since=0):
        """The finished SMTP sessions of one service after a log mark, each as
        Postfix counts its commands on disconnect: {"ehlo": "2", "auth":
        "0/1", ..., "commands": "7/8"} (done/attempted when they differ).
        Connections that sent no command at all (port probes) are left out."""
        name = re.escape(SERVICES[port][0] if port in SERVICES else "postfix")
        with open(self.log, "rb") as f:
            f.seek(since)
            text = f.read().decode("utf-8", "replace")
        found = []
        for m in re.finditer(rf"{name}/smtpd\[\d+\]: disconnect from \S+ (.*)", text):
            counts = dict(kv.split("=", 1) for kv in m.group(1).split())
            if counts.get("commands") not in ("0", "0/0"):
                found.append(counts)
        return found

    def wait_sessions(self, port, since, count=1, seconds=30):
        deadline = time.monotonic() + seconds
        while True:
            found = self.sessions(port, since)
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.1)

    def log_text(self):
        text = super().log_text()
        if self.dovecot:
            text += "\n-- dovecot --\n" + self.dovecot.log_text()
        return text
