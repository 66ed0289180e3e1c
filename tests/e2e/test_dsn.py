"""#DSN: delivery status notifications asked of a server offering DSN (RFC
3461): RET and ENVID after SIZE with MAIL FROM, NOTIFY and ORCPT with each
RCPT TO, in xtext; none when the server does not offer DSN, and standard
error says so; refused at start-up under HELO.

The cases are a mixin on 127.0.0.240 (FIRST + 1): Linux binds them to
E2ETest, the Wine variant (e2e_win_submission.py) to WinRun, both with
FIRST = 239."""

import re

from harness import E2ETest, addr
from smtp_server import Script, ScriptedSmtpServer, ehlo_reply

EX_DATAERR = 65
NOT_OFFERED = b"does not offer DSN"


def xtext(data):
    return b"".join(b"+%02X" % c if c < 0x21 or c > 0x7E or c in b"+=" else bytes([c])
                    for c in data)


class DsnCases:
    FIRST = 239

    def dsn_job(self, *directives):
        # Display names in code page 932 (表 and ソ end in 0x5C): only the
        # addresses go into ORCPT.
        self.write_command([f"#HOS={addr(self.FIRST + 1)}", "#LOC=client.tolvex.test",
                            "#FRO=送信表 <sender@example.jp>", "#TO=宛先ソ <a+b=c@example.jp>",
                            "#BCC=bcc@example.jp", *directives, "#SUB=DSN", "", "本文"])

    def deliver(self, offered, args=()):
        keywords = ["PIPELINING", "SIZE 1000000", *(["DSN"] if offered else []), "8BITMIME"]
        with ScriptedSmtpServer(addr(self.FIRST + 1),
                                Script(replies={"EHLO": ehlo_reply("e2e.test", *keywords)})) as srv:
            res = self.run_tolvex(list(args))
        self.assertEqual(srv.errors, [])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(len(srv.sessions), 1)
        return res, srv.sessions[0]

    def test_parameters_on_the_wire_only_when_dsn_is_offered(self):
        self.dsn_job("#SEC=none", "#DSN=delay, Failure")
        res, s = self.deliver(offered=True)
        self.assertEqual(s.verbs(), ["EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"])
        message_id = re.search(rb"(?m)^Message-ID: <([^>]+)>\r$", s.message).group(1)
        envid = xtext(message_id)
        self.assertLessEqual(len(envid), 100)
        self.assertRegex(s.commands[1], rb"^MAIL FROM:<sender@example\.jp> SIZE=\d+ RET=HDRS "
                         + re.escape(b"ENVID=" + envid) + rb"\r\n\Z")
        self.assertEqual(s.commands[2:4], [
            b"RCPT TO:<a+b=c@example.jp> NOTIFY=FAILURE,DELAY ORCPT=rfc822;a+2Bb+3Dc@example.jp\r\n",
            b"RCPT TO:<bcc@example.jp> NOTIFY=FAILURE,DELAY ORCPT=rfc822;bcc@example.jp\r\n"])
        self.assertNotIn(NOT_OFFERED, res.stderr)

        # The same job against a server without DSN: the envelope as without
        # #DSN, and one line on standard error.
        res, s = self.deliver(offered=False)
        self.assertRegex(s.commands[1], rb"^MAIL FROM:<sender@example\.jp> SIZE=\d+\r\n\Z")
        self.assertEqual(s.commands[2:4], [b"RCPT TO:<a+b=c@example.jp>\r\n",
                                           b"RCPT TO:<bcc@example.jp>\r\n"])
        self.assertEqual(res.stderr.count(NOT_OFFERED), 1, res.stderr)

        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertRegex(check.stdout, rb"(?m)^DSN: +RET=HDRS ENVID=\S+ NOTIFY=FAILURE,DELAY; "
                                       rb"sent only when the server offers DSN")

        # --probe says whether DSN is offered; its envelope carries none.
        for offered, says in ((True, b"offered: a delivery asks for NOTIFY=FAILURE,DELAY"),
                              (False, b"not offered: a delivery goes without #DSN's parameters")):
            res, s = self.deliver(offered, ["--probe"])
            self.assertRegex(res.stdout, rb"(?m)^DSN: +" + re.escape(says) + rb"\r?$")
            self.assertEqual(s.verbs(), ["EHLO", "MAIL", "RCPT", "RCPT", "RSET", "QUIT"])
            self.assertEqual(s.commands[1], b"MAIL FROM:<sender@example.jp>\r\n")

    def test_refused_at_start_up_under_helo_or_with_never_and_more(self):
        for directives, says in ((["#DSN=failure"], b"need EHLO"),
                                 (["#SEC=none", "#DSN=never,delay"], b"never stands alone"),
                                 (["#SEC=none", "#DSN=bounce"], b"is not a list")):
            with self.subTest(directives=directives):
                self.dsn_job(*directives)
                res = self.run_tolvex()
                self.assertEqual(res.returncode, EX_DATAERR, res.stderr)
                self.assertIn(says, res.stderr)
                self.assertIn(b"#DSN", res.stderr)
                self.assertFalse(self.exists("LOG.txt"))


class Dsn(DsnCases, E2ETest):
    pass
