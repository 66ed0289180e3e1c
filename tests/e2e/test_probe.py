"""`tolvex --probe`: what the configured server offers, asked the way a
delivery would ask: AUTH with the configured credential, MAIL FROM, every
RCPT TO, then RSET and QUIT. No mail goes out, no secret is printed, no file
is written, the exit status says whether every step was accepted. With
OAuth the probe stops after EHLO (test_oauth.py).

Linux uses 127.0.0.76-80 and 12 (a server closing at once after its 221);
the Wine variant binds ProbeCases to WinRun with FIRST = 168
(127.0.0.169-173), ProbeCloseCases with FIRST = 36 (127.0.0.37)."""

import os
import shutil
import tempfile
import unittest
from unittest import mock

from harness import E2ETest, addr
from smtp_server import CLOSE, Script, ScriptedSmtpServer, ehlo_reply
from test_pki import make_pki
from test_submission import SECRET, USER, traces

BEFORE_TLS = ehlo_reply("probe.test", "PIPELINING", "STARTTLS", "8BITMIME")
UNDER_TLS = ehlo_reply("probe.test", "PIPELINING", "AUTH PLAIN LOGIN", "8BITMIME")


class ProbeRun:
    """Probes against scripted servers with the throwaway CA's certificate
    for FIRST+1 .. FIRST+ADDRESSES."""

    FIRST = 75
    ADDRESSES = 5

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"probe": [addr(cls.FIRST + k)
                                              for k in range(1, cls.ADDRESSES + 1)]})

    def probe(self, k, directives, caf=True, env=None, **script):
        if caf:
            shutil.copy(self.pki.ca, self.path("ca.pem"))
        self.write_command(["#LOC=client.tolvex.test", f"#HOS={addr(self.FIRST + k)}",
                            "#FRO=sender@example.jp", "#TO=a@example.jp", "#DEL",
                            *(["#CAF=ca.pem"] if caf else []), *directives, "", "body"])
        before = sorted(os.listdir(self.dir))
        tls = (self.pki.cert("probe"), self.pki.key("probe"))
        port = 465 if "#SEC=tls" in directives else 587 if "#SEC=starttls" in directives else 25
        with ScriptedSmtpServer(addr(self.FIRST + k), Script(**script), port=port, tls=tls,
                                implicit_tls=port == 465) as srv, \
                mock.patch.dict(os.environ, env or {}):
            res = self.run_probe()
        self.assertEqual(srv.errors, [])
        self.assertEqual(len(srv.sessions), 1)
        session = srv.sessions[0]
        self.assertEqual(sorted(os.listdir(self.dir)), before, "the probe touched the work folder")
        out = self.output(res)
        for t in traces(SECRET):
            self.assertNotIn(t, res.stdout + res.stderr, "the secret shows in the output")
        self.assertNotIn("DATA", session.verbs())
        return res, out, session

    def output(self, res):
        return res.stdout.decode("utf-8").replace("\r\n", "\n")


class ProbeCases(ProbeRun):

    def test_starttls_probe_shows_what_the_server_offers(self):
        # The password from the environment, as a run would find it.
        res, out, s = self.probe(1, ["#SEC=starttls", f"#USR={USER}"],
                                 env={"TOLVEX_PASSWORD": SECRET},
                                 replies={"EHLO": BEFORE_TLS}, tls_replies={"EHLO": UNDER_TLS})
        self.assertEqual(res.returncode, 0, out + res.stderr.decode("utf-8", "replace"))
        self.assertEqual(s.verbs(), ["EHLO", "STAR", "EHLO", "AUTH", "MAIL", "RCPT", "RSET", "QUIT"])
        self.assertEqual([(a.mechanism, a.tls, a.user, a.password) for a in s.auth],
                         [("PLAIN", True, USER.encode(), SECRET.encode())])
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
        self.assertIn("AUTH reply:  235 2.7.0 Authentication successful\n"
                      "MAIL FROM:   <sender@example.jp>\n             250 ", out)
        self.assertIn("RCPT TO:     <a@example.jp>\n             250 ", out)
        self.assertIn("RSET:        250 Ok\n", out)
        self.assertIn("Result:      the server would accept this session", out)

    def test_missing_auth_mechanism_is_refused_with_69(self):
        res, out, s = self.probe(2, ["#SEC=tls", f"#USR={USER}", f"#PAS={SECRET}"],
                                 replies={"EHLO": ehlo_reply("probe.test", "8BITMIME")})
        self.assertEqual(res.returncode, 69, out)
        self.assertIn("AUTH:        (none offered)", out)
        self.assertIn("Result:      refused in state 137", out)
        self.assertEqual(s.verbs(), ["EHLO", "QUIT"])  # QUIT after a refusal, nothing else

    def test_untrusted_certificate_is_refused_in_133(self):
        res, out, s = self.probe(3, ["#SEC=starttls"], caf=False, replies={"EHLO": BEFORE_TLS})
        self.assertEqual(res.returncode, 69, out)
        self.assertRegex(out, r"Result:      refused in state 133: certificate verify failed: "
                              r"unknown CA")
        self.assertEqual(s.verbs(), ["EHLO", "STAR"])

    def test_plain_probe_says_helo_and_runs_the_envelope(self):
        res, out, s = self.probe(4, [], caf=False)
        self.assertEqual(res.returncode, 0, out)
        self.assertEqual(s.commands, [b"HELO client.tolvex.test\r\n",
                                      b"MAIL FROM:<sender@example.jp>\r\n",
                                      b"RCPT TO:<a@example.jp>\r\n", b"RSET\r\n", b"QUIT\r\n"])
        self.assertIn("Security:    HELO, no TLS", out)
        self.assertNotIn("TLS:", out)

    def test_refused_hello_sender_or_recipient_is_named_with_69(self):
        # The refused recipient is the Cc after the To: the walk's second RCPT.
        cases = [
            ({"replies": {"HELO": b"501 5.5.2 bad HELO name\r\n"}}, ["HELO"], 130,
             "501 5.5.2 bad HELO name (HELO client.tolvex.test)"),
            ({"replies": {"MAIL": b"553 5.7.1 sender rejected\r\n"}}, ["HELO", "MAIL"], 140,
             "553 5.7.1 sender rejected (MAIL FROM <sender@example.jp>)"),
            ({"rcpt": [b"250 Ok\r\n", b"550 5.1.1 no such user\r\n"]},
             ["HELO", "MAIL", "RCPT", "RCPT"], 150,
             "550 5.1.1 no such user (RCPT TO <b@example.jp>)"),
        ]
        for script, verbs, state, why in cases:
            with self.subTest(state=state):
                res, out, s = self.probe(5, ["#CC=表ソ <b@example.jp>"], caf=False, **script)
                self.assertEqual(res.returncode, 69, out)
                self.assertEqual(s.verbs(), verbs)
                self.assertIn(f"Result:      refused in state {state}: {why}\n", out)
        # Each reply below the address it answers.
        self.assertIn("RCPT TO:     <a@example.jp>\n             250 Ok\n"
                      "RCPT TO:     <b@example.jp>\n             550 5.1.1 no such user\n", out)


class ProbeCloseCases(ProbeRun):
    """A server that closes the connection at once after its 221, as
    Postfix, Dovecot and Exim do: the 221 comes with the close and still
    ends the probe well, under STARTTLS and implicit TLS."""

    FIRST = 11
    ADDRESSES = 1

    def test_221_read_with_the_close_ends_well(self):
        for sec in ("#SEC=starttls", "#SEC=tls"):
            with self.subTest(sec):
                res, out, s = self.probe(1, [sec, f"#USR={USER}", f"#PAS={SECRET}"],
                                         replies={"EHLO": BEFORE_TLS, "QUIT": [b"221 2.0.0 Bye\r\n", CLOSE]},
                                         tls_replies={"EHLO": UNDER_TLS})
                self.assertEqual(res.returncode, 0, out)
                self.assertEqual(s.verbs()[-2:], ["RSET", "QUIT"])
                self.assertIn("QUIT:        221 2.0.0 Bye\n", out)
                self.assertIn("Result:      the server would accept this session\n", out)


class Probe(ProbeCases, E2ETest):
    def run_probe(self):
        return self.run_tolvex(["--probe"])


class ProbeClose(ProbeCloseCases, E2ETest):
    def run_probe(self):
        return self.run_tolvex(["--probe"])


if __name__ == "__main__":
    unittest.main()
