"""Cc and Bcc on the wire, and "#RTY=" against scripted servers: temporary
failures tried again a real minute later, a permanent one not at all, and
the message that was never delivered kept as an .eml file.

The retries wait whole real minutes, so each slow case is its own ctest
entry (label slow) and they run side by side."""

import email
import email.policy
import os
import re
import unittest

from harness import CLOSE, E2ETest, Script, ScriptedSmtpServer, addr

SUBJECT = "再送テスト 表示"
BODY = ["本文の一行目", ".dot line", "ソフト"]


def lines(n, extra):
    return [f"#HOS={addr(n)}", "#FRO=差出人 <from@example.jp>", "#TO=宛先 <to@example.jp>",
            f"#SUB={SUBJECT}", *extra, "", *BODY]


class RetryRun(E2ETest):
    def kept(self):
        folder = self.path("undelivered")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def run_retry(self, n, scripts, extra, timeout):
        self.write_command(lines(n, extra))
        with ScriptedSmtpServer(addr(n), scripts) as server:
            res = self.run_tolvex(timeout=timeout)
        self.assert_clean_end()
        return res, server

    def assert_minute_apart(self, server):
        for a, b in zip(server.sessions, server.sessions[1:]):
            gap = b.accepted_at - a.accepted_at
            self.assertGreaterEqual(gap, 59.5)
            self.assertLess(gap, 65)


class Quick(RetryRun):
    def test_copies_in_order_and_bcc_in_no_head(self):
        self.write_command(lines(140, ["#CC=写し <cc1@example.jp>, cc2@example.jp",
                                      "#BCC=hidden@example.jp"]))
        with ScriptedSmtpServer(addr(140)) as server:
            res = self.run_tolvex(timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        s = server.sessions[0]
        rcpts = [c for c in s.commands if c.startswith(b"RCPT")]
        self.assertEqual(rcpts, [b"RCPT TO:<to@example.jp>\r\n", b"RCPT TO:<cc1@example.jp>\r\n",
                                 b"RCPT TO:<cc2@example.jp>\r\n", b"RCPT TO:<hidden@example.jp>\r\n"])
        msg = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual(str(msg["Cc"]), "写し <cc1@example.jp>, cc2@example.jp")
        head = s.message.split(b"\r\n\r\n", 1)[0]
        self.assertNotIn(b"hidden", head)
        self.assertLess(head.index(b"\r\nTo: "), head.index(b"\r\nCc: "))

    def test_550_is_not_retried(self):
        res, server = self.run_retry(141, [Script(greeting=b"550 5.7.1 go away\r\n")],
                                     ["#RTY=3,1"], 60)
        self.assertEqual(res.returncode, 69, res.stderr)
        self.assertEqual(len(server.sessions), 1)
        self.assertEqual([r[1:] for r in self.log_records()], [(120, b"550 5.7.1 go away\r\n")])
        self.assertEqual(len(self.kept()), 1)


class Greeting421ThenDelivered(RetryRun):
    def test_421_greeting_tried_again_a_minute_later(self):
        res, server = self.run_retry(
            142, [Script(greeting=b"421 4.3.2 try later\r\n"), Script()], ["#RTY=2,1"], 150)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual([r[1:] for r in self.log_records()],
                         [(120, b"421 4.3.2 try later\r\n"), (0, b"")])
        self.assertEqual(len(server.sessions), 2)
        self.assert_minute_apart(server)
        self.assertEqual(self.kept(), [])
        self.assertIn(b"trying again in 1 minutes", res.stderr)


class Greylisted450ThenDelivered(RetryRun):
    def test_450_to_rcpt_then_delivered(self):
        grey = Script(rcpt=[b"450 4.2.0 greylisted, come back later\r\n"])
        res, server = self.run_retry(143, [grey, Script()], ["#RTY=1,1"], 150)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual([r[1] for r in self.log_records()], [150, 0])
        self.assertEqual(len(server.sessions), 2)
        self.assertFalse(server.sessions[0].complete)
        self.assertTrue(server.sessions[1].complete)


class Lasting421KeepsTheMessage(RetryRun):
    def test_three_421_then_eml(self):
        res, server = self.run_retry(144, [Script(greeting=b"421 4.3.2 busy\r\n")], ["#RTY=2,1"],
                                     240)
        self.assertEqual(res.returncode, 75, res.stderr)
        self.assertEqual(len(server.sessions), 3)
        self.assertEqual([r[1] for r in self.log_records()], [120, 120, 120])
        self.assert_minute_apart(server)
        kept = self.kept()
        self.assertEqual(len(kept), 1, kept)
        self.assertRegex(kept[0], r"^\d{8}-\d{6}-1\.eml$")
        self.assertIn(("undelivered/" + kept[0]).encode(), res.stderr)
        eml = self.read(os.path.join("undelivered", kept[0]))
        # The composed message: as --check --raw shows it, less the
        # end-of-data line, with its own Date and Message-ID.
        raw = self.run_tolvex(["--check", "--raw"]).stdout
        self.assertTrue(raw.endswith(b"\r\n.\r\n"))
        stamp = re.compile(rb"(?m)^(Date|Message-ID): .*\r\n")
        self.assertEqual(stamp.sub(b"", eml), stamp.sub(b"", raw[:-3]))
        self.assertIn(b"\r\n.dot line\r\n", eml)  # not dot-stuffed
        msg = email.message_from_bytes(eml, policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), SUBJECT)
        self.assertEqual(msg["To"].addresses[0].display_name, "宛先")
        self.assertEqual(msg.get_content().splitlines()[-3:], BODY)


class ResetBeforeTheData(RetryRun):
    def test_connection_closed_at_rcpt_then_delivered(self):
        # The first connection is closed at RCPT: the session notices at its
        # two-minute silence limit, then tries again a minute later.
        cut = Script(replies={"RCPT": CLOSE})
        res, server = self.run_retry(145, [cut, Script()], ["#RTY=1,1"], 280)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual([r[1] for r in self.log_records()], [999, 0])
        self.assertEqual(len(server.sessions), 2)
        self.assertTrue(server.sessions[1].complete)
        self.assertEqual(self.kept(), [])


if __name__ == "__main__":
    unittest.main()
