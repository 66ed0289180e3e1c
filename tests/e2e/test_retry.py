"""Cc and Bcc on the wire, and "#RTY=" against scripted servers: temporary
failures tried again a real minute later, a permanent one not at all, and
the message that was never delivered kept as an .eml file.

The retries wait whole real minutes, so each slow case is its own ctest
entry (label slow) and they run side by side."""

import email
import email.policy
import os
import re
import shutil
import stat
import tempfile
import time
import unittest
from unittest import mock

from harness import CLOSE, E2ETest, Script, ScriptedSmtpServer, addr
from oauth_provider import OAuthProvider
from test_pki import make_pki

SUBJECT = "再送テスト 表示"
BODY = ["本文の一行目", ".dot line", "ソフト"]


def lines(n, extra):
    return [f"#HOS={addr(n)}", "#FRO=差出人 <from@example.jp>", "#TO=宛先 <to@example.jp>",
            f"#SUB={SUBJECT}", *extra, "", *BODY]


class RetryRun(E2ETest):
    def kept(self):
        return self.kept_messages()

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
        self.assertIn(b"trying again in 1 minute\n", res.stderr)


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


class TokenFailures(RetryRun):
    """Under #RTY a token request that fails is an attempt: refused for good
    or for now with no retry left, the message is kept at once (never lost
    with #DEL), in a 0700 folder as a 0600 file, past links planted at the
    names it would take. The fake provider on 127.0.0.9 and .10."""

    @classmethod
    def setUpClass(cls):
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"idp": [addr(9), addr(10)]})

    def run_token_job(self, n, mode, extra):
        shutil.copy(self.pki.ca, self.path("ca.pem"))
        with OAuthProvider(addr(n), self.pki.cert("idp"), self.pki.key("idp"), "retry-client",
                           "retry-secret") as provider:
            provider.mode = mode
            self.write_command(lines(n, ["#SEC=starttls", "#USR=from@example.jp",
                                         f"#OAU={provider.url}", "#OID=retry-client",
                                         "#OSC=retry-secret", "#CAF=ca.pem", "#DEL", *extra]))
            with mock.patch.dict(os.environ, {"XDG_CONFIG_HOME": self.path("config")}):
                res = self.run_tolvex(timeout=60)
        self.assert_clean_end()
        self.assertEqual([r[1] for r in self.log_records()], [105])
        self.assertFalse(self.exists("command.txt"), "the message is kept: #DEL removes it")
        kept = [k for k in self.kept() if not os.path.islink(self.path("undelivered/" + k))]
        self.assertEqual(len(kept), 1, self.kept())
        eml = self.path("undelivered/" + kept[0])
        self.assertEqual(os.lstat(eml).st_mode, stat.S_IFREG | 0o600)
        self.assertIn(f"undelivered/{kept[0]}".encode(), res.stderr)
        msg = email.message_from_bytes(self.read(eml), policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), SUBJECT)
        return res

    def test_refused_token_keeps_the_message_past_planted_links(self):
        self.write("victim.txt", b"precious")
        os.mkdir(self.path("undelivered"))
        now = time.time()
        for s in range(-2, 40):  # every name the run could take
            stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now + s))
            for name in (f"{stamp}.eml.new", f"{stamp}-1.eml"):
                os.symlink(self.path("victim.txt"), self.path(f"undelivered/{name}"))
        res = self.run_token_job(9, "refuse", ["#RTY=3,1"])
        self.assertEqual(res.returncode, 69, res.stderr)
        self.assertIn(b"invalid_client", res.stderr)
        self.assertIn(b"a permanent failure, not tried again", res.stderr)
        self.assertEqual(self.read("victim.txt"), b"precious")
        self.assertEqual(len(self.kept()), 2 * 42 + 1)

    def test_busy_endpoint_with_no_retry_left_keeps_it_with_75(self):
        res = self.run_token_job(10, "busy", ["#RTY=0,1"])
        self.assertEqual(res.returncode, 75, res.stderr)
        self.assertIn(b"temporarily_unavailable", res.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("undelivered")).st_mode), 0o700)


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
