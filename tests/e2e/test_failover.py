"""A backup server: "#HOS=first, second" tries the second host at once when
the first fails for the time being before it took the message (nothing
listening there, a 421 greeting), in the plain session and under
submission, each try with its own LOG.txt record and the run ending 0; a
550 stays with the first host; --check lists the backup and --probe
reports each host.

The cases are a mixin on FIRST+1 .. FIRST+6: Linux binds them to E2ETest
with FIRST = 180 (127.0.0.181-186), the Wine variant
(e2e_win_submission.py) to ArgsRun with FIRST = 160 (127.0.0.161-166)."""

import time

from harness import CLOSE, E2ETest, addr
from smtp_server import Script, ScriptedSmtpServer

EX_DATAERR = 65
EX_UNAVAILABLE = 69


class FailoverCases:
    FIRST = 180

    def job(self, first, second, *directives):
        self.write_command([f"#HOS={addr(self.FIRST + first)} , {addr(self.FIRST + second)}",
                            "#LOC=client.tolvex.test", "#FRO=送信表 <sender@example.jp>",
                            "#TO=宛先ソ <to@example.jp>", *directives, "#SUB=予備", "", "本文"])

    def states(self):
        return [state for _, state, _ in self.log_records()]

    def test_nothing_listening_then_the_backup_delivers(self):
        # Nothing listens on FIRST+1: noticed at once in either session,
        # not after the plain session's two minutes.
        for directives in ([], ["#SEC=none"]):
            with self.subTest(directives=directives):
                if self.exists("LOG.txt"):
                    self.write("LOG.txt", b"")
                self.job(1, 2, *directives)
                with ScriptedSmtpServer(addr(self.FIRST + 2), Script()) as srv:
                    began = time.monotonic()
                    res = self.run_tolvex()
                self.assertLess(time.monotonic() - began, 60)
                self.assertEqual(res.returncode, 0, res.stderr)
                self.assertEqual(srv.errors, [])
                self.assertEqual(len(srv.sessions), 1)
                self.assertIn(b"\x1b$BK\\J8", srv.sessions[0].message)  # 本文
                self.assertEqual(self.states(), [999, 0])
                self.assertIn(f"trying {addr(self.FIRST + 2)}".encode(), res.stderr)

        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertRegex(check.stdout, rb"(?m)^Server:   " + addr(self.FIRST + 1).encode()
                         + rb", port 25\r?\nBackup:   " + addr(self.FIRST + 2).encode()
                         + rb", port 25\r?$")
        self.write_command([f"#HOS={addr(self.FIRST + 1)},,{addr(self.FIRST + 2)}",
                            "#TO=to@example.jp", "", "body"])
        res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_DATAERR, res.stderr)
        self.assertIn(b'"#HOS" lists an empty host name', res.stderr)

    def test_a_421_greeting_then_the_backup_delivers(self):
        for directives in ([], ["#SEC=none"]):
            with self.subTest(directives=directives):
                self.write("LOG.txt", b"")
                self.job(3, 4, *directives)
                with ScriptedSmtpServer(addr(self.FIRST + 3),
                                        Script(greeting=[b"421 4.3.2 busy\r\n", CLOSE])) as busy, \
                        ScriptedSmtpServer(addr(self.FIRST + 4), Script()) as backup:
                    res = self.run_tolvex()
                self.assertEqual(res.returncode, 0, res.stderr)
                self.assertEqual(len(busy.sessions), 1)
                self.assertEqual(len(backup.sessions), 1)
                self.assertEqual(backup.sessions[0].verbs()[-2:], ["DATA", "QUIT"])
                self.assertEqual(self.states(), [120, 0])

    def test_a_550_stays_with_the_first_host(self):
        self.job(5, 6)
        with ScriptedSmtpServer(addr(self.FIRST + 5),
                                Script(replies={"RCPT": b"550 5.1.1 no such user\r\n"})) as first, \
                ScriptedSmtpServer(addr(self.FIRST + 6), Script()) as backup:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_UNAVAILABLE, res.stderr)
        self.assertEqual(len(first.sessions), 1)
        self.assertEqual(backup.sessions, [])
        self.assertEqual(self.states(), [150])
        self.assertNotIn(b"trying", res.stderr)

    def test_probe_reports_each_host(self):
        self.job(1, 2, "#SEC=none")
        with ScriptedSmtpServer(addr(self.FIRST + 2), Script()) as srv:
            res = self.run_tolvex(["--probe"])
        # The first failure decides the status; the backup is probed all the same.
        self.assertEqual(res.returncode, EX_UNAVAILABLE, res.stderr)
        out = res.stdout.replace(b"\r\n", b"\n")
        for k in (1, 2):
            self.assertRegex(out, rb"(?m)^Server: +" + addr(self.FIRST + k).encode()
                             + rb", port 25 \(host %d of 2\)$" % k)
        results = [line for line in out.split(b"\n") if line.startswith(b"Result:")]
        self.assertEqual(len(results), 2, out)
        self.assertIn(b"refused in state 999", results[0])
        self.assertIn(b"the server would accept this session", results[1])
        self.assertEqual(srv.sessions[0].verbs(), ["EHLO", "MAIL", "RCPT", "RSET", "QUIT"])
        self.assertFalse(self.exists("LOG.txt"))

        self.job(3, 4, "#SEC=none")
        with ScriptedSmtpServer(addr(self.FIRST + 3), Script()), \
                ScriptedSmtpServer(addr(self.FIRST + 4), Script()):
            res = self.run_tolvex(["--probe"])
        self.assertEqual(res.returncode, 0, res.stdout)
        self.assertEqual(res.stdout.count(b"the server would accept this session"), 2)


class Failover(FailoverCases, E2ETest):
    pass
