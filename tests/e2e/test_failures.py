"""Deliveries that fail, and runs that cannot start: log records, exit
statuses, standard error, and what is (not) sent and left on disk."""

import os
import unittest

from harness import CLOSE, E2ETest, Script, ScriptedSmtpServer, addr

EX_DATAERR, EX_NOINPUT, EX_UNAVAILABLE, EX_CANTCREAT = 65, 66, 69, 73


class FailedDelivery(E2ETest):
    def command(self, n, recipients="a@example.jp"):
        return ["#LOC=tolvex.test", f"#HOS={addr(n)}", "#FRO=s@example.jp",
                f"#TO={recipients}", "#SUB=件名", "", "本文"]

    def fail_with(self, n, script, recipients="a@example.jp"):
        self.write_command(self.command(n, recipients))
        with ScriptedSmtpServer(addr(n), script) as server:
            res = self.run_tolvex()
        self.assertEqual(server.errors, [])
        self.assertEqual(res.returncode, EX_UNAVAILABLE, res.stderr)
        lines = res.stderr.decode("utf-8", "replace").splitlines()
        self.assertEqual(len(lines), 1, lines)  # one line per failure
        self.assert_clean_end()
        self.assertEqual(len(server.sessions), 1)
        return server.sessions[0], lines[0]

    def test_greeting_554_sends_nothing(self):
        greeting = b"554 5.7.1 no service for you\r\n"
        s, err = self.fail_with(50, Script(greeting=greeting))
        self.assertEqual(s.commands, [])
        self.assert_one_record(120, greeting)
        self.assertIn("120", err)
        self.assertIn("554", err)

    def test_second_of_three_recipients_rejected(self):
        reject = b"550 5.1.1 <b@example.jp>: Recipient address rejected\r\n"
        s, _ = self.fail_with(51, Script(rcpt=[b"250 ok\r\n", reject, b"250 ok\r\n"]),
                              "a@example.jp, b@example.jp, c@example.jp")
        self.assertEqual(s.commands[1:], [b"MAIL FROM:<s@example.jp>\r\n", b"RCPT TO:<a@example.jp>\r\n",
                                          b"RCPT TO:<b@example.jp>\r\n"])
        self.assert_one_record(140, reject)

    def test_last_recipient_rejected(self):
        reject = b"550 5.1.1 no such user\r\n"
        s, _ = self.fail_with(52, Script(rcpt=[b"250 ok\r\n", reject]), "a@example.jp,b@example.jp")
        self.assertEqual(s.verbs(), ["HELO", "MAIL", "RCPT", "RCPT"])
        self.assert_one_record(150, reject)

    def test_rejections_end_in_the_state_that_checked(self):
        cases = [(53, "HELO", b"501 5.5.2 bad name\r\n", 130, ["HELO"]),
                 (54, "MAIL", b"553 5.1.8 bad sender\r\n", 140, ["HELO", "MAIL"]),
                 (56, "DATA", b"451 4.3.0 try later\r\n", 160, ["HELO", "MAIL", "RCPT", "DATA"])]
        for n, verb, reply, state, verbs in cases:
            with self.subTest(verb=verb):
                if self.exists("LOG.txt"):
                    os.remove(self.path("LOG.txt"))
                s, _ = self.fail_with(n, Script(replies={verb: reply}))
                self.assertEqual(s.verbs(), verbs)
                self.assert_one_record(state, reply)

    def test_greeting_in_two_pieces(self):
        # The first piece passes the greeting check; the second arrives after
        # HELO went out and is taken for the HELO reply.
        tail = b" ESMTP\r\n220 ready\r\n"
        s, _ = self.fail_with(60, Script(greeting=[b"220-e2e.test", 0.6, tail],
                                         replies={"HELO": [1.5, b"250 late\r\n"]}))
        self.assertEqual(s.commands, [b"HELO tolvex.test\r\n"])
        self.assert_one_record(130, b" ESMTP\\r\\n220 ready\r\n")

    def test_server_closing_mid_session(self):
        bye = b"421 4.3.2 Service shutting down\r\n"
        s, _ = self.fail_with(55, Script(replies={"MAIL": [bye, CLOSE]}))
        self.assertEqual(s.verbs(), ["HELO", "MAIL"])
        self.assert_one_record(140, bye)

    def test_message_rejected_gives_999_without_quit(self):
        reject = b"554 5.6.0 Message rejected\r\n"
        s, _ = self.fail_with(57, Script(replies={"MESSAGE": reject}))
        self.assertTrue(s.complete)
        self.assertEqual(s.verbs(), ["HELO", "MAIL", "RCPT", "DATA"])
        self.assert_one_record(999, reject)

    def test_quit_reply_without_221_gives_999(self):
        s, _ = self.fail_with(58, Script(replies={"QUIT": b"250 whatever\r\n"}))
        self.assertTrue(s.complete)
        self.assertEqual(s.verbs()[-1], "QUIT")
        self.assert_one_record(999, b"250 whatever\r\n")

    def test_unwritable_log_still_delivers(self):
        os.mkdir(self.path("LOG.txt"))
        self.write_command(self.command(59))
        with ScriptedSmtpServer(addr(59)) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_CANTCREAT, res.stderr)
        self.assertIn(b"LOG.txt", res.stderr)
        self.assertTrue(server.sessions[0].complete)
        self.assertEqual(server.sessions[0].verbs()[-1], "QUIT")
        self.assert_clean_end()


class StartupFailure(E2ETest):
    """Runs that end before anything is sent: no connection, no log line."""

    def run_without_sending(self, n, lines, status):
        self.write_command(lines)
        with ScriptedSmtpServer(addr(n)) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, status, res.stderr)
        self.assertEqual(server.sessions, [], "connected although the run could not start")
        self.assertFalse(self.exists("LOG.txt"))
        err = res.stderr.decode("utf-8", "replace").splitlines()
        self.assertEqual(len(err), 1, err)
        return err[0]

    def test_missing_text_file(self):
        err = self.run_without_sending(65, ["#DEL", f"#HOS={addr(65)}", "#TEX=無い表.txt",
                                            "#TO=a@example.jp"], EX_NOINPUT)
        self.assertIn("無い表.txt", err)
        self.assertTrue(self.exists("command.txt"), "command.txt deleted after a start-up failure")
        self.assertFalse(self.exists("TEMP.TXT"))

    def test_missing_attachment_sends_nothing(self):
        self.write("here.bin", b"present")
        err = self.run_without_sending(66, [f"#HOS={addr(66)}", "#ATT=here.bin,gone.bin",
                                            "#TO=a@example.jp", "", "x"], EX_NOINPUT)
        self.assertIn("gone.bin", err)
        self.assert_clean_end()

    def test_unwritable_spool_file(self):
        os.mkdir(self.path("TEMP.TXT"))
        err = self.run_without_sending(67, [f"#HOS={addr(67)}", "#TO=a@example.jp", "", "x"],
                                       EX_CANTCREAT)
        self.assertIn("TEMP.TXT", err)

    def test_bad_number_in_command_file(self):
        err = self.run_without_sending(68, [f"#HOS={addr(68)}", "#WAI=soon", "#TO=a@example.jp"],
                                       EX_DATAERR)
        self.assertIn("command.txt", err)
        self.assertIn("line 2", err)
        self.assertFalse(self.exists("TEMP.TXT"))

    def test_missing_command_file(self):
        res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_NOINPUT, res.stderr)
        self.assertIn(b"command.txt", res.stderr)
        self.assertEqual(os.listdir(self.dir), [])


class CommandLine(E2ETest):
    def test_help(self):
        res = self.run_tolvex(["--help"])
        self.assertEqual(res.returncode, 0, res.stderr)
        out = res.stdout.decode()
        for word in ("command.txt", "LOG.txt", "TEMP.TXT", "64", "65", "66", "69", "73"):
            self.assertIn(word, out)
        self.assertEqual(os.listdir(self.dir), [])

    def test_version(self):
        # The version the build set first (scripts read that line), then the
        # build and the libraries, one a line.
        res = self.run_tolvex(["--version"])
        self.assertEqual(res.returncode, 0, res.stderr)
        lines = res.stdout.decode().split("\n")
        self.assertEqual(lines[0], "tolvex " + os.environ["TOLVEX_BUILT_VERSION"])
        self.assertEqual([line[:10] for line in lines[1:]],
                         ["commit:   ", "built:    ", "compiler: ", "TLS:      ", "HTTPS:    ", ""])
        self.assertRegex(lines[2], r"^built:    \d{4}-\d\d-\d\d$")
        self.assertRegex(lines[4], r"^TLS:      OpenSSL 3\.\d+\.\d+$")
        self.assertIn("libcurl.so.4", lines[5])

    def test_unknown_argument(self):
        self.write_command(["#HOS=127.0.0.69", "#TO=a@example.jp"])
        for args in (["--bogus"], ["command.txt"]):
            with self.subTest(args=args):
                res = self.run_tolvex(args)
                self.assertEqual(res.returncode, 64, res.stderr)
                self.assertNotEqual(res.stderr.strip(), b"")
                self.assertEqual(sorted(os.listdir(self.dir)), ["command.txt"])


if __name__ == "__main__":
    unittest.main()
