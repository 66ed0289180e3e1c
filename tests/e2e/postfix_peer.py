"""A private Postfix instance as a real SMTP peer: its own configuration,
queue and data folders under one temporary folder, listening on one
loopback address, delivering mail for one domain into Maildirs. Needs root
(Postfix drops to its own user) and Debian's postfix package.

A subclass may add services (more ports) and settings through settings(),
master_cf(), `ports`, prepare() and stop()."""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

from smtp_server import bind_when_free

MASTER_CF = """\
{address}:25 inet n     -       n       -       -       smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


class PostfixPeer:
    def __init__(self, address, domain="tolvex.test", users=("taro", "hanako", "jiro")):
        self.address = address
        self.ports = [25]  # every port master.cf listens on
        self.domain = domain
        self.users = users
        self.root = tempfile.mkdtemp(prefix="tolvex-postfix-")
        os.chmod(self.root, 0o755)
        self.conf = os.path.join(self.root, "conf")
        self.mail = os.path.join(self.root, "mail")
        self.log = os.path.join(self.root, "maillog")
        self.running = False

    def postfix(self, *args, check=True):
        return subprocess.run(["postfix", "-c", self.conf, *args], capture_output=True,
                              text=True, check=check, timeout=60)

    def settings(self):
        """main.cf, as a dict."""
        nobody = pwd.getpwnam("nobody")
        return {
            "compatibility_level": "3.6",
            "queue_directory": os.path.join(self.root, "queue"),
            "data_directory": os.path.join(self.root, "data"),
            "maillog_file": self.log,
            "maillog_file_prefixes": self.root,
            "myhostname": "mx." + self.domain,
            "mydomain": self.domain,
            "myorigin": self.domain,
            "mydestination": "",
            # Postfix accepts only addresses bound to an interface here, and
            # lo carries just 127.0.0.1; the SMTP service in master.cf binds
            # its own address of 127.0.0.0/8 directly.
            "inet_interfaces": "loopback-only",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "smtpd_client_restrictions": "",
            # Strict as many real servers are: RFC 5321 envelopes only, and
            # a HELO name that is a domain or an address literal.
            "strict_rfc821_envelopes": "yes",
            "smtpd_helo_required": "yes",
            "smtpd_helo_restrictions": "reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname",
            "smtpd_sender_restrictions": "",
            "smtpd_relay_restrictions": "permit_mynetworks, reject_unauth_destination",
            "smtpd_peername_lookup": "no",
            "smtp_dns_support_level": "disabled",
            "smtp_host_lookup": "native",
            "disable_dns_lookups": "yes",
            "relayhost": "",
            "alias_maps": "",
            "alias_database": "",
            "local_recipient_maps": "",
            "virtual_mailbox_domains": self.domain,
            "virtual_mailbox_base": self.mail,
            "virtual_mailbox_maps": "texthash:" + os.path.join(self.conf, "vmailbox"),
            "virtual_uid_maps": f"static:{nobody.pw_uid}",
            "virtual_gid_maps": f"static:{nobody.pw_gid}",
            "virtual_minimum_uid": "1",
            "message_size_limit": "0",
            "virtual_mailbox_limit": "0",
            "biff": "no",
            "smtputf8_enable": "no",
            "maillog_file_permissions": "0644",
        }

    def master_cf(self):
        return MASTER_CF.format(address=self.address)

    def prepare(self):
        """Runs before Postfix starts, with the folders made."""

    def start(self):
        nobody = pwd.getpwnam("nobody")
        os.makedirs(self.conf)
        os.makedirs(self.mail)
        # Postfix creates what it needs inside these (postfix check).
        os.makedirs(os.path.join(self.root, "queue"), 0o755)
        data = os.path.join(self.root, "data")
        os.makedirs(data, 0o700)
        owner = pwd.getpwnam("postfix")
        os.chown(data, owner.pw_uid, owner.pw_gid)
        os.chown(self.mail, nobody.pw_uid, nobody.pw_gid)
        with open(os.path.join(self.conf, "vmailbox"), "w") as f:
            for u in self.users:
                f.write(f"{u}@{self.domain} {u}/\n")  # trailing "/": a Maildir
        self.prepare()
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            for k, v in self.settings().items():
                f.write(f"{k} = {v}\n")
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(self.master_cf())
        # Another run of these tests may still hold the address.
        for port in self.ports:
            probe = socket.socket()
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                bind_when_free(probe, (self.address, port))
            finally:
                probe.close()
        for step in ("check", "start"):
            res = self.postfix(step, check=False)
            if res.returncode != 0:
                raise RuntimeError(f"postfix {step} failed ({res.returncode}): "
                                   f"{res.stderr or self._fatal_text(step)}\n{self.log_text()}")
        self.running = True
        for port in self.ports:
            self._wait_listening(port, 30)

    def _wait_listening(self, port, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                with socket.create_connection((self.address, port), timeout=1):
                    return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError(f"postfix never listened on {self.address}:{port}; log:\n{self.log_text()}")

    def _fatal_text(self, step):
        """Postfix prints its fatal messages only to a terminal: run the step
        again under one to learn why it failed."""
        if not shutil.which("script"):
            return "(run it on a terminal to see why)"
        res = subprocess.run(["script", "-qc", f"postfix -c {self.conf} {step}", "/dev/null"],
                             capture_output=True, text=True, timeout=60)
        return res.stdout.strip()

    def stop(self):
        if self.running:
            if self.postfix("stop", check=False).returncode != 0:
                self.postfix("abort", check=False)
            self.running = False
            self._wait_gone(20)

    def _wait_gone(self, seconds):
        pid_file = os.path.join(self.root, "queue", "pid", "master.pid")
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not any(_listening(self.address, p) for p in self.ports):
                if not os.path.exists(pid_file) or not _alive(pid_file):
                    return
            time.sleep(0.2)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return "(no log)"

    def delivered(self, user):
        return sorted(glob.glob(os.path.join(self.mail, user, "new", "*")))

    def wait_for_mail(self, user, count=1, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            files = self.delivered(user)
            if len(files) >= count:
                return files
            time.sleep(0.2)
        raise AssertionError(f"no mail for {user} after {seconds} s; log:\n{self.log_text()}")

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.cleanup()
            raise
        return self

    def __exit__(self, *exc):
        self.cleanup()


def _listening(address, port):
    try:
        with socket.create_connection((address, port), timeout=0.5):
            return True
    except OSError:
        return False


def _alive(pid_file):
    try:
        with open(pid_file) as f:
            os.kill(int(f.read().strip()), 0)
        return True
    except (OSError, ValueError):
        return False
