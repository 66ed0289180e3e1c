"""Cc/Bcc and "#RTY=" with tolvex.exe under Wine: the envelope order and
the head, a 421 greeting delivered a real minute later, and lasting 421s
leaving one .eml that reads back as the message (addresses 136-138); the
window closed while a token request waits on an endpoint that never
answers (36). Loaded by e2e_win.py."""

import email
import email.policy
import os
import shutil
import tempfile
import time

from harness import Script, ScriptedSmtpServer, addr
from oauth_provider import OAuthProvider
from test_pki import make_pki
from winrun import WinRun, wintool

EX_TEMPFAIL = 75


def lines(n, extra):
    return [f"#HOS={addr(n)}", "#FRO=差出人 <from@example.jp>", "#TO=宛先 <to@example.jp>",
            "#SUB=再送 表示とソフト", *extra, "", "本文 能力", ".dot line"]


class WinRetry(WinRun):
    def run_with(self, n, scripts, extra, limit):
        self.write_command(lines(n, extra))
        with ScriptedSmtpServer(addr(n), scripts) as server:
            res = self.run_tolvex(limit=limit)
        self.assert_clean_end()
        return res, server

    def test_cc_and_bcc(self):
        res, server = self.run_with(136, [Script()],
                                    ["#CC=写し <cc@example.jp>", "#BCC=hidden@example.jp"], 90)
        self.assertEqual(res.returncode, 0, res.stderr)
        s = server.sessions[0]
        self.assertEqual([c for c in s.commands if c.startswith(b"RCPT")],
                         [b"RCPT TO:<to@example.jp>\r\n", b"RCPT TO:<cc@example.jp>\r\n",
                          b"RCPT TO:<hidden@example.jp>\r\n"])
        msg = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual(str(msg["Cc"]), "写し <cc@example.jp>")
        self.assertNotIn(b"hidden", s.message)

    def test_421_greeting_then_delivered(self):
        res, server = self.run_with(137, [Script(greeting=b"421 4.3.2 try later\r\n"), Script()],
                                    ["#RTY=1,1"], 180)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual([r[1:] for r in self.log_records()],
                         [(120, b"421 4.3.2 try later\r\n"), (0, b"")])
        gap = server.sessions[1].accepted_at - server.sessions[0].accepted_at
        self.assertGreaterEqual(gap, 59.5)
        self.assertLess(gap, 70)
        self.assertFalse(os.path.isdir(self.path("undelivered")))

    def test_lasting_421_keeps_one_eml(self):
        res, server = self.run_with(138, [Script(greeting=b"421 4.3.2 busy\r\n")], ["#RTY=1,1"],
                                    180)
        self.assertEqual(res.returncode, EX_TEMPFAIL, res.stderr)
        self.assertEqual(len(server.sessions), 2)
        kept = [k for k in os.listdir(self.path("undelivered")) if k.endswith(".eml")]
        self.assertEqual(len(kept), 1, kept)
        self.assertIn(kept[0].encode(), res.stderr)
        eml = self.read(os.path.join("undelivered", kept[0]))
        self.assertFalse(eml.endswith(b"\r\n.\r\n"))
        self.assertIn(b"\r\n.dot line\r\n", eml)
        msg = email.message_from_bytes(eml, policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), "再送 表示とソフト")
        self.assertEqual(msg.get_content().splitlines()[-2:], ["本文 能力", ".dot line"])


class WinTokenRequest(WinRun):
    """WinHTTP's request runs beside the message loop: closing the window
    gives it up at once, with the usual clean-up and 130, nothing logged;
    under #RTY the first attempt's message stays in command.txt."""

    def test_window_closed_during_a_token_request(self):
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        self.addCleanup(shutil.rmtree, folder, True)
        pki = make_pki(folder, {"idp": [addr(36)]})
        shutil.copy(pki.ca, self.path("ca.pem"))
        with OAuthProvider(addr(36), pki.cert("idp"), pki.key("idp"), "win-client",
                           "win-secret") as provider:
            provider.mode = "stall"
            self.write_command(lines(36, ["#SEC=starttls", "#USR=from@example.jp",
                                          f"#OAU={provider.url}", "#OID=win-client",
                                          "#OSC=win-secret", "#CAF=ca.pem", "#RTY=2,1",
                                          "#DEL"]))
            p = self.spawn()
            deadline = time.monotonic() + 60
            while not provider.requests and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(provider.requests, "no token request")
            closed = time.monotonic()
            self.assertEqual(wintool("close", 30).returncode, 0)
            ended, err = self.wait_exit(p)
        self.assertEqual(p.returncode, 130, err)
        self.assert_soon_after(ended, closed, "close")
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()
        self.assertTrue(self.exists("command.txt"), "the message was neither sent nor kept")
        self.assertFalse(os.path.isdir(self.path("undelivered")))
