"""Internationalised addresses: a domain not in ASCII goes out as its A-label
in the envelope and the head; a local part not in ASCII (山田) goes only with
SMTPUTF8, in UTF-8 on the wire and in the head's address lines; a server
without SMTPUTF8 fails the delivery in state 142 before MAIL FROM.

The cases are a mixin on 127.0.0.137 (FIRST) and 158 (SECOND); the Wine
variant (e2e_win_submission.py) runs them on 159 alone."""

import email
import email.policy

from harness import E2ETest, addr
from smtp_server import Script, ScriptedSmtpServer, ehlo_reply

EX_UNAVAILABLE = 69
A_LABEL = b"xn--r8jz45g.jp"


class IntlCases:
    FIRST = 137
    SECOND = 158
    output_encoding = "utf-8"  # of --check, --probe and standard error

    def intl_job(self, host, to, *directives):
        self.write_command([f"#HOS={addr(host)}", "#LOC=client.tolvex.test",
                            "#FRO=送信表 <sender@例え.jp>", f"#TO={to}", *directives,
                            "#SUB=宛先", "", "本文"])

    def serve(self, host, offered, args=()):
        keywords = ["PIPELINING", *(["SMTPUTF8"] if offered else []), "8BITMIME"]
        with ScriptedSmtpServer(addr(host),
                                Script(replies={"EHLO": ehlo_reply("e2e.test", *keywords)})) as srv:
            res = self.run_tolvex(list(args))
        self.assertEqual(srv.errors, [])
        return res, srv.sessions

    def test_domains_go_as_a_labels_and_local_parts_only_with_smtputf8(self):
        # ASCII local parts: the A-label in the envelope and the head, no
        # SMTPUTF8 asked even where offered.
        self.intl_job(self.FIRST, "宛先ソ <to@例え.JP>", "#SEC=none")
        res, sessions = self.serve(self.FIRST, offered=True)
        self.assertEqual(res.returncode, 0, res.stderr)
        s = sessions[0]
        self.assertEqual(s.commands[1:3], [b"MAIL FROM:<sender@" + A_LABEL + b">\r\n",
                                           b"RCPT TO:<to@" + A_LABEL + b">\r\n"])
        head = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual(head["To"].addresses[0].addr_spec, "to@xn--r8jz45g.jp")
        self.assertEqual(head["To"].addresses[0].display_name, "宛先ソ")

        # 山田: SMTPUTF8 with MAIL FROM, the addresses and the head's address
        # lines in UTF-8 (RFC 6532).
        self.intl_job(self.FIRST, "山田@例え.jp", "#SEC=none")
        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertRegex(check.stdout, rb"MAIL FROM:<sender@xn--r8jz45g\.jp> SMTPUTF8")
        self.assertIn("RCPT TO:<山田@xn--r8jz45g.jp>".encode(self.output_encoding), check.stdout)
        res, sessions = self.serve(self.FIRST, offered=True)
        self.assertEqual(res.returncode, 0, res.stderr)
        s = sessions[0]
        self.assertEqual(s.commands[1:3], [b"MAIL FROM:<sender@" + A_LABEL + b"> SMTPUTF8\r\n",
                                           "RCPT TO:<山田@".encode() + A_LABEL + b">\r\n"])
        self.assertIn("\r\nTo: 山田@".encode() + A_LABEL + b"\r\n", s.message)
        self.assertIn("\r\nFrom: 送信表 <sender@".encode() + A_LABEL + b">\r\n", s.message)

        # Not offered: state 142 naming the address, on standard error too;
        # no MAIL FROM. --probe tells.
        self.intl_job(self.SECOND, "山田@例え.jp", "#SEC=none")
        res, sessions = self.serve(self.SECOND, offered=False)
        self.assertEqual(res.returncode, EX_UNAVAILABLE, res.stderr)
        self.assertEqual(sessions[0].verbs(), ["EHLO", "QUIT"])
        _, state, text = self.log_records()[-1]
        self.assertEqual(state, 142)
        self.assertIn("山田@例え.jp".encode("cp932"), text)
        self.assertIn("山田@例え.jp needs SMTPUTF8".encode(self.output_encoding), res.stderr)
        for offered, says in ((True, b"offered"), (False, b"not offered")):
            res, _ = self.serve(self.SECOND, offered, ["--probe"])
            self.assertRegex(res.stdout, rb"(?m)^SMTPUTF8: +" + says + rb"\b")


class Intl(IntlCases, E2ETest):
    pass
