"""Events through syslog(3): what the program sends to /dev/log, read by a
datagram socket the test binds for the run. The program runs in a private
mount namespace (unshare -m, root) whose /dev is a tmpfs of links to the
real /dev's entries plus /dev/log, a link to the test's socket; the host's
/dev is not touched. Ident tolvex, facility mail, the priority by the
failure, the job's folder, the state, the server's text and the kept file;
nothing under #EVT=off and nothing of the message. Server on 127.0.0.224."""

import os
import re
import socket
import subprocess
import tempfile

from harness import TOLVEX, E2ETest, addr
from smtp_server import Script, ScriptedSmtpServer

LOG_MAIL = 2 << 3
LOG_ERR, LOG_WARNING, LOG_INFO = 3, 4, 6

# The program's own /dev: links to the real entries, and /dev/log.
IN_NAMESPACE = r"""
set -e
old="$1/dev"; shift
mount --make-rprivate /
mkdir -p "$old"
mount --rbind /dev "$old"
mount -t tmpfs -o mode=0755 tmpfs /dev
for entry in "$old"/* "$old"/.[!.]*; do [ -e "$entry" ] && ln -s "$entry" /dev/; done
ln -sf "$LOG_SOCKET" /dev/log
exec "$@"
"""


class Syslog(E2ETest):
    def run_with_syslog(self):
        """Runs the program once; returns its result and the datagrams as
        (priority, ident, text)."""
        tmp = tempfile.mkdtemp(prefix="tolvex-syslog-")
        self.addCleanup(subprocess.run, ["rm", "-rf", tmp])
        path = os.path.join(tmp, "log")
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sink:
            sink.bind(path)
            res = subprocess.run(["unshare", "-m", "sh", "-c", IN_NAMESPACE, "sh", tmp, TOLVEX],
                                 cwd=self.dir, capture_output=True, timeout=60,
                                 stdin=subprocess.DEVNULL, env={**os.environ, "LOG_SOCKET": path})
            self.assertNotIn(b"mount:", res.stderr)
            sink.setblocking(False)
            grams = []
            while True:
                try:
                    grams.append(sink.recv(65536))
                except BlockingIOError:
                    break
        events = []
        for gram in grams:
            m = re.match(rb"<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^\[:]+)\[(\d+)\]: (.*)\Z", gram,
                         re.S)
            self.assertTrue(m, gram)
            events.append((int(m.group(1)), m.group(2), m.group(4)))
        return res, events

    def test_events_by_end_and_setting(self):
        folder = re.escape(os.path.realpath(self.dir).encode())
        job = [f"#HOS={addr(224)}", "#LOC=client.tolvex.test", "#FRO=表示 <sender@example.jp>",
               "#TO=a@example.jp", "#SUB=秘密の件名"]
        refused = {"RCPT": b"550 5.1.1 unknown\r\n"}
        # (name, directives, greeting, replies, exit status, [(priority, text pattern)])
        cases = [
            ("550 to RCPT", [], None, refused, 69,
             [(LOG_MAIL | LOG_ERR, rb"folder %s: state 150: 550 5\.1\.1 unknown")]),
            ("421 greeting, kept", ["#RTY=0,1"], b"421 busy\r\n", {}, 75,
             [(LOG_MAIL | LOG_WARNING, rb"folder %s: state 120: 421 busy"),
              (LOG_MAIL | LOG_WARNING, rb"folder %s: the undelivered message is kept "
                                       rb"\(file undelivered/\d{8}-\d{6}-1\.eml\)")]),
            ("delivered under all", ["#EVT=all"], None, {}, 0,
             [(LOG_MAIL | LOG_INFO, rb"folder %s: delivered")]),
            ("delivered", [], None, {}, 0, []),
            ("550 under off", ["#EVT=off"], None, refused, 69, []),
        ]
        for name, extra, greeting, replies, status, expected in cases:
            with self.subTest(name):
                self.write_command([*job, *extra, "", "本文は秘密"])
                script = Script(replies=replies)
                if greeting:
                    script.greeting = greeting
                with ScriptedSmtpServer(addr(224), script):
                    res, events = self.run_with_syslog()
                self.assertEqual(res.returncode, status, res.stderr)
                self.assertEqual(len(events), len(expected), events)
                for (pri, ident, text), (want_pri, pattern) in zip(events, expected):
                    self.assertEqual((pri, ident), (want_pri, b"tolvex"))
                    self.assertTrue(re.fullmatch(pattern % folder, text), text)
                    # Nothing of the message: subject, sender's name, body.
                    for word in ("秘密", "表示", "sender@"):
                        self.assertNotIn(word.encode("utf-8"), text)
                        self.assertNotIn(word.encode("cp932"), text)
