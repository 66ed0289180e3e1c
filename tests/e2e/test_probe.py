"""`tolvex --probe`: what the configured server offers, asked the way a
delivery would ask, then QUIT. No credential and no mail goes out, no file
is written, the exit status says whether the session would be accepted.

Linux uses 127.0.0.76-79; the Wine variant binds ProbeCases to WinRun with
FIRST = 168 (127.0.0.169-172)."""

import os
import shutil
import tempfile
import unittest

from harness import E2ETest, addr
from smtp_server import Script, ScriptedSmtpServer, ehlo_reply
from test_pki import make_pki
from test_submission import SECRET, USER, traces

BEFORE_TLS = ehlo_reply("probe.test", "PIPELINING", "STARTTLS", "8BITMIME")
UNDER_TLS = ehlo_reply("probe.test", "PIPELINING", "AUTH PLAIN LOGIN", "8BITMIME")


class ProbeCases:
    FIRST = 75

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"probe": [addr(cls.FIRST + k) for k in range(1, 5)]})

    def probe(self, k, directives, caf=True, **script):
        if caf:
            shutil.copy(self.pki.ca, self.path("ca.pem"))
        self.write_command(["#LOC=client.tolvex.test", f"#HOS={addr(self.FIRST + k)}",
                            "#FRO=sender@example.jp", "#TO=a@example.jp", "#DEL",
                            *(["#CAF=ca.pem"] if caf else []), *directives, "", "body"])
        before = sorted(os.listdir(self.dir))
        tls = (self.pki.cert("probe"), self.pki.key("probe"))
        port = 465 if "#SEC=tls" in directives else 587 if "#SEC=starttls" in directives else 25
        with ScriptedSmtpServer(addr(self.FIRST + k), Script(**script), port=port, tls=tls,
                                implicit_tls=port == 465) as srv:
            res = self.run_probe()
        self.assertEqual(srv.errors, [])
        self.assertEqual(len(srv.sessions), 1)
        session = srv.sessions[0]
        self.assertEqual(sorted(os.listdir(self.dir)), before, "the probe touched the work folder")
        out = self.output(res)
        for t in traces(SECRET):
            self.assertNotIn(t, res.stdout + res.stderr, "the secret shows in the output")
            self.assertFalse(any(t in c for c in session.commands), "the secret was sent")
        self.assertEqual(session.auth, [])
        self.assertNotIn("MAIL", session.verbs())
        return res, out, session

    def output(self, res):
        return res.stdout.decode("utf-8").replace("\r\n", "\n")

    def test_starttls_probe_shows_what_the_server_offers(self):
        res, out, s = self.probe(1, ["#SEC=starttls", f"#USR={USER}", f"#PAS={SECRET}"],
                                 replies={"EHLO": BEFORE_TLS}, tls_replies={"EHLO": UNDER_TLS})
        self.assertEqual(res.returncode, 0, out + res.stderr.decode("utf-8", "replace"))
        self.assertEqual(s.verbs(), ["EHLO", "STAR", "EHLO", "QUIT"])
        self.assertIn(f"Server:      {addr(self.FIRST + 1)}, port 587", out)
        self.assertIn("Greeting:    220 e2e.test ESMTP ready", out)
        self.assertIn("EHLO:        250-probe.test\n             250-PIPELINING\n"
                      "             250-STARTTLS\n", out)
        self.assertRegex(out, r"TLS:         TLS 1\.[23], TLS_\w+")
        self.assertRegex(out, r"Certificate: subject .*127\.0\.0\.\d+")
        self.assertRegex(out, r"issuer  .*Tolvex Test CA")
        self.assertRegex(out, r"expires  ?\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC")
        self.assertIn("EHLO (TLS):  250-probe.test", out)
        self.assertIn("AUTH:        PLAIN LOGIN", out)
        self.assertIn("Result:      the server would accept this session", out)

    def test_missing_auth_mechanism_is_refused_with_69(self):
        res, out, s = self.probe(2, ["#SEC=tls", f"#USR={USER}"],
                                 replies={"EHLO": ehlo_reply("probe.test", "8BITMIME")})
        self.assertEqual(res.returncode, 69, out)
        self.assertIn("AUTH:        (none offered)", out)
        self.assertIn("Result:      refused in state 137", out)
        self.assertEqual(s.verbs(), ["EHLO"])

    def test_untrusted_certificate_is_refused_in_133(self):
        res, out, s = self.probe(3, ["#SEC=starttls"], caf=False, replies={"EHLO": BEFORE_TLS})
        self.assertEqual(res.returncode, 69, out)
        self.assertRegex(out, r"Result:      refused in state 133: certificate verify failed: "
                              r"unknown CA")
        self.assertEqual(s.verbs(), ["EHLO", "STAR"])

    def test_plain_probe_says_helo_and_quits(self):
        res, out, s = self.probe(4, [], caf=False)
        self.assertEqual(res.returncode, 0, out)
        self.assertEqual(s.commands, [b"HELO client.tolvex.test\r\n", b"QUIT\r\n"])
        self.assertIn("Security:    HELO, no TLS", out)
        self.assertNotIn("TLS:", out)


class Probe(ProbeCases, E2ETest):
    def run_probe(self):
        return self.run_tolvex(["--probe"])


if __name__ == "__main__":
    unittest.main()
