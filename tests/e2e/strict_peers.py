"""Exim and OpenSMTPD as real SMTP peers beside the Postfix one: each a
private instance with its own configuration, spool and Maildirs under one
temporary folder, listening on one loopback address. Both are run from
Debian's packages as tools/install-deps.sh unpacks them (they conflict with
Postfix as installed packages); the prefix is $TOLVEX_PEERS/root, by
default /var/cache/tolvex-peers/root. Both need root: port 25, and
OpenSMTPD's privilege separation.

Services on the peer's address:
  25   plain SMTP, no TLS, no AUTH, mail for the local users only
  587  Exim only: STARTTLS (the test CA's certificate), AUTH PLAIN and
       LOGIN for one user only under TLS, and required before any mail is
       taken

A Tap in front of a peer relays every byte between the program and the
peer unchanged and keeps a copy of both directions, and calls a hook when a
client connects (the program has written its spool file by then).
"""

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from smtp_server import bind_when_free
from test_pki import make_pki

PEERS = os.environ.get("TOLVEX_PEERS", "/var/cache/tolvex-peers")
PREFIX = os.path.join(PEERS, "root")
SUBMISSION = 587


class Tap:
    """Relays address:port to target:port. `sessions` holds one
    (client bytes, server bytes) pair per connection."""

    def __init__(self, address, target, port, on_connect=None):
        self.target, self.port, self.on_connect = target, port, on_connect
        self.sessions = []
        self.errors = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        bind_when_free(self.sock, (address, port))
        self.sock.listen(4)
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return  # closed by stop()
            try:
                if self.on_connect:
                    self.on_connect()
                server = socket.create_connection((self.target, self.port), timeout=10)
            except OSError as e:
                self.errors.append(e)
                client.close()
                continue
            server.settimeout(None)
            up, down = bytearray(), bytearray()
            self.sessions.append((up, down))
            for a, b, copy in ((client, server, up), (server, client, down)):
                t = threading.Thread(target=_pump, args=(a, b, copy), daemon=True)
                t.start()
                self.threads.append(t)

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self.sock.close()
        for t in self.threads:
            t.join(30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _pump(src, dst, copy):
    """Copies src to dst until src ends, then ends dst's sending side."""
    try:
        while data := src.recv(65536):
            copy += data
            dst.sendall(data)
    except OSError:
        pass
    for s, how in ((dst, socket.SHUT_WR), (src, socket.SHUT_RD)):
        try:
            s.shutdown(how)
        except OSError:
            pass


def _end_group(proc, sig, seconds):
    """Signals proc's process group; True once no process of it is left."""
    try:
        os.killpg(proc.pid, sig)
    except ProcessLookupError:
        return True
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        proc.poll()  # reaps the daemon itself
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


class DaemonPeer:
    """What the two peers share: the folder, the Maildirs, the daemon
    process and waiting for it. A subclass writes its
    configuration in configure() and names its command in command()."""

    name = ""
    ports = [25, SUBMISSION]
    mail_owner = ("nobody", "nogroup")  # who writes the Maildirs

    def __init__(self, address, domain="tolvex.test", users=("taro", "hanako")):
        self.address, self.domain, self.users = address, domain, users
        self.root = tempfile.mkdtemp(prefix=f"tolvex-{self.name}-")
        os.chmod(self.root, 0o755)
        self.mail = os.path.join(self.root, "mail")
        self.proc = None
        self.output = os.path.join(self.root, "output")

    @classmethod
    def binary(cls):
        return os.path.join(PREFIX, cls.program)

    @classmethod
    def unavailable(cls):
        """Why this peer cannot run here, or None."""
        if not os.access(cls.binary(), os.X_OK):
            return f"{cls.binary()} missing: run tools/install-deps.sh"
        if os.geteuid() != 0:
            return "needs root"
        return None

    def start(self):
        for d in [self.mail] + [os.path.join(self.mail, u) for u in self.users]:
            os.makedirs(d, 0o755)
            shutil.chown(d, *self.mail_owner)
        self.configure()
        for port in self.ports:
            probe = socket.socket()
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                bind_when_free(probe, (self.address, port))
            finally:
                probe.close()
        with open(self.output, "wb") as out:
            # A process group of its own: stop() ends the deliveries too.
            self.proc = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, cwd=self.root,
                                         start_new_session=True)
        deadline = time.monotonic() + 30
        waiting = list(self.ports)
        while waiting:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} ended ({self.proc.returncode}):\n{self.log_text()}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.name} never listened on {waiting}:\n{self.log_text()}")
            try:
                with socket.create_connection((self.address, waiting[0]), timeout=1):
                    waiting.pop(0)
            except OSError:
                time.sleep(0.1)

    def stop(self):
        """Ends the daemon and every process it started (a delivery that
        outlived it would write its log into the folder being removed)."""
        if self.proc is None:
            return
        if not _end_group(self.proc, signal.SIGTERM, 20):
            _end_group(self.proc, signal.SIGKILL, 10)
        self.proc.wait(10)
        self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def log_text(self):
        texts = []
        for path in [self.output, *sorted(glob.glob(os.path.join(self.root, "log", "*")))]:
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    texts.append(f"-- {os.path.basename(path)} --\n{f.read()}")
            except OSError:
                pass
        return "\n".join(texts)

    def delivered(self, user):
        return sorted(glob.glob(os.path.join(self.mail, user, "new", "*")))

    def wait_for_mail(self, user, count=1, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            files = self.delivered(user)
            if len(files) >= count:
                return files
            time.sleep(0.1)
        raise AssertionError(f"no mail for {user} after {seconds} s:\n{self.log_text()}")

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.root, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path


EXIM_CONF = """\
primary_hostname = mx.%(domain)s
# Deliveries re-execute the binary: the unpacked one, not the system path.
exim_path = %(binary)s
exim_user = Debian-exim
exim_group = Debian-exim
spool_directory = %(root)s/spool
log_file_path = %(root)s/log/%%slog
pid_file_path = %(root)s/exim.pid
local_interfaces = <; %(address)s.25 ; %(address)s.587
domainlist local_domains = %(domain)s
# No look-ups of the client: no DNS here, no ident.
host_lookup =
rfc1413_hosts =
rfc1413_query_timeout = 0s
keep_environment =
tls_certificate = %(cert)s
tls_privatekey = %(key)s
tls_advertise_hosts = ${if eq{$received_port}{587}{*}{}}
auth_advertise_hosts = ${if def:tls_in_cipher {*}{}}
acl_smtp_helo = check_helo
acl_smtp_rcpt = check_rcpt
# Exim refuses a HELO/EHLO argument of bad syntax itself (an empty one
# too), and commands sent ahead of a reply without PIPELINING; check_helo
# also refuses a name that is not fully qualified, as Postfix's
# reject_non_fqdn_helo_hostname does.

begin acl
check_helo:
  deny    condition = ${if or{{match{$sender_helo_name}{\\N^\\[.+\\]$\\N}} \\
                              {match{$sender_helo_name}{\\N\\.\\N}}}{no}{yes}}
          message = HELO/EHLO needs a fully qualified name or an address literal
  accept

check_rcpt:
  deny    condition = ${if eq{$received_port}{587}}
          !authenticated = *
          message = authentication required
  require verify = recipient
  accept  domains = +local_domains
  deny    message = relay not permitted

begin routers
local_users:
  driver = accept
  domains = +local_domains
  local_parts = %(users)s
  transport = maildir

begin transports
maildir:
  driver = appendfile
  directory = %(mail)s/$local_part_data
  maildir_format
  delivery_date_add
  envelope_to_add
  return_path_add
  user = Debian-exim

begin authenticators
plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = ${if and{{eq{$auth2}{%(user)s}}{eq{$auth3}{%(password)s}}}}
  server_set_id = $auth2
login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = ${if and{{eq{$auth1}{%(user)s}}{eq{$auth2}{%(password)s}}}}
  server_set_id = $auth1
"""


class EximPeer(DaemonPeer):
    name = "exim"
    program = "usr/sbin/exim4"
    # Started with -C, Exim gives up root for its own user, which then
    # receives and delivers everything.
    mail_owner = ("Debian-exim", "Debian-exim")

    def __init__(self, address, user, password, tap_address, **kw):
        super().__init__(address, **kw)
        self.user, self.password = user, password
        # The program connects to the tap: the certificate names both.
        self.pki = make_pki(os.path.join(self.root, "pki"),
                            {"server": [tap_address, address, "mx." + self.domain]})

    def configure(self):
        for d in ("spool", "log"):
            os.makedirs(os.path.join(self.root, d), 0o750)
            shutil.chown(os.path.join(self.root, d), "Debian-exim", "Debian-exim")
        self.conf = self.write("exim.conf", EXIM_CONF % dict(
            domain=self.domain, root=self.root, address=self.address, mail=self.mail,
            users=" : ".join(self.users), user=self.user, password=self.password,
            cert=self.pki.cert("server"), key=self.pki.key("server"), binary=self.binary()))

    def command(self):
        # -bdf: the listening daemon in the foreground; each message is
        # delivered at once by a process of its own.
        return [self.binary(), "-C", self.conf, "-bdf"]


SMTPD_CONF = """\
table users file:{root}/users
listen on {address} port 25 hostname mx.{domain}
action "local" maildir "{mail}/%{{rcpt.user}}" virtual <users> user nobody
match from any for domain "{domain}" action "local"
"""


class SmtpdPeer(DaemonPeer):
    """OpenSMTPD keeps its queue and control socket in fixed system folders
    and runs its delivery helpers from one: it runs in a mount namespace of
    its own, with this peer's folders mounted over /var/spool and /run and
    the unpacked helpers over /usr/libexec there. Its chroot folder,
    /var/lib/opensmtpd/empty, is made by tools/install-deps.sh."""

    name = "opensmtpd"
    program = "usr/sbin/smtpd"
    # Plain SMTP only: Debian 12's build (6.8.0p2 on OpenSSL 3) fails every
    # TLS handshake ("EVP lib", RSA or ECDSA key, TLS 1.2 or 1.3), and it
    # offers AUTH only under TLS.
    ports = [25]

    def configure(self):
        for d in ("spool", "run"):
            os.makedirs(os.path.join(self.root, d), 0o755)
        self.write("users", "".join(f"{u}@{self.domain} nobody\n" for u in self.users), 0o640)
        self.conf = self.write("smtpd.conf", SMTPD_CONF.format(
            root=self.root, address=self.address, domain=self.domain, mail=self.mail))

    def command(self):
        mounts = (f"mount --bind {self.root}/spool /var/spool && "
                  f"mount --bind {self.root}/run /run && "
                  f"mount --bind {PREFIX}/usr/libexec /usr/libexec && ")
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                mounts + f'exec "$0" -d -f {self.conf}', self.binary()]
