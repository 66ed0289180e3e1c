"""tolvex --check: the command file read and the first message composed
as a run would, printed for reading or as exact bytes; nothing sent, no
file written or deleted. Addresses 127.0.0.66 and .19 (servers that must
see no connection)."""

import os

import reference as ref
from harness import CRLF, E2ETest, addr, sjis

EX_DATAERR, EX_NOINPUT, EX_USAGE = 65, 66, 64


class Check(E2ETest):
    def command(self, *extra):
        return [f"#HOS={addr(66)}", "#LOC=desk.example", "#FRO=送信係 <sender@example.jp>",
                "#TO=a@example.jp, 山田 <b@example.jp>", "#SUB=会議のお知らせ 表とソ", "#DEL",
                *extra, "", "本文の一行目です。", ".dot line"]

    def check(self, *args):
        had_command = self.exists("command.txt")
        with self.serve(66) as server:
            res = self.run_tolvex(("--check", *args))
        self.assertEqual(server.sessions, [], "--check connected to the server")
        self.assertEqual(self.exists("command.txt"), had_command, "--check deleted command.txt")
        self.assertFalse(self.exists("TEMP.TXT"))
        self.assertFalse(self.exists("TEMP.TXT.new"))
        self.assertFalse(self.exists("LOG.txt"))
        return res

    def test_plain_message_is_shown_decoded(self):
        self.write_command(self.command())
        res = self.check()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(res.stderr, b"")
        out = res.stdout.decode("utf-8")
        self.assertIn(f"Server:   {addr(66)}, port 25\n", out)
        self.assertIn("Envelope: MAIL FROM:<sender@example.jp>\n", out)
        self.assertIn("          RCPT TO:<a@example.jp>\n          RCPT TO:<b@example.jp>\n", out)
        self.assertIn("Subject: 会議のお知らせ 表とソ\n", out)
        self.assertIn("From: 送信係 <sender@example.jp>\n", out)
        self.assertIn("To: a@example.jp, 山田 <b@example.jp>\n", out)
        self.assertIn("本文の一行目です。\n.dot line\n", out)

    def test_raw_gives_the_exact_message(self):
        self.write_command(self.command())
        res = self.check("--raw")
        self.assertEqual(res.returncode, 0, res.stderr)
        acc = CRLF + sjis("本文の一行目です。") + CRLF + b".dot line" + CRLF
        expected = ref.plain_message(acc, sjis("送信係 <sender@example.jp>"),
                                     sjis("a@example.jp, 山田 <b@example.jp>"),
                                     subject=sjis("会議のお知らせ 表とソ"))
        self.assertEqual(res.stdout, ref.stamped(expected, ref.stamp_of(res.stdout)))

    def test_attachments_are_listed_with_their_sizes(self):
        self.write("見積書.csv", b"a,b\r\n1,2\r\n" * 100)
        self.write("data.bin", bytes(range(256)))
        self.write_command(self.command("#ATT=見積書.csv, data.bin"))
        res = self.check()
        self.assertEqual(res.returncode, 0, res.stderr)
        out = res.stdout.decode("utf-8")
        self.assertIn("\nAttachments:\n  見積書.csv  1000 bytes\n  data.bin  256 bytes\n", out)
        self.assertIn("[1000 bytes, Base64]\n", out)
        self.assertNotIn("YSxiDQox", out)  # the Base64 text itself is not shown

    def test_unusable_command_file_gives_the_runs_status_and_line(self):
        self.write_command(self.command("#WAI=soon"))
        res = self.check()
        self.assertEqual(res.returncode, EX_DATAERR)
        self.assertEqual(res.stdout, b"")
        self.assertRegex(res.stderr, rb"^tolvex: command.txt line \d+: \"#WAI\" value \"soon\"")

    def test_missing_attachment_gives_66(self):
        self.write_command(self.command("#ATT=absent.bin"))
        res = self.check()
        self.assertEqual(res.returncode, EX_NOINPUT)
        self.assertIn(b"absent.bin", res.stderr)

    def test_misspelled_directive_before_the_password_sends_nothing(self):
        # "#SCE" for "#SEC" ends the directives: "#USR" and "#PAS" after it
        # would go out as text over plain HELO. The run and --check both
        # stop at start-up, naming the line, never the password.
        secret = "Zq9-hunter2"
        self.write_command(["#DEL", f"#HOS={addr(19)}", "#SCE=starttls", "#USR=yamada",
                            f"#PAS={secret}", "#TO=a@example.jp", "", "本文"])
        for args in ((), ("--check",)):
            with self.serve(19) as server:
                res = self.run_tolvex(args)
            self.assertEqual(res.returncode, EX_DATAERR, args)
            self.assertEqual(server.sessions, [], args)
            self.assertEqual(res.stdout, b"")
            self.assertRegex(res.stderr, rb'^tolvex: command.txt line 3: "#SCE" is no directive, '
                                         rb'.*line 4 \("#USR"\).*misspelled\?\n\Z')
            self.assertNotIn(secret.encode(), res.stdout + res.stderr)
            self.assertEqual(sorted(os.listdir(self.dir)), ["command.txt"], args)

    def test_missing_command_file_and_bad_arguments(self):
        res = self.check()
        self.assertEqual(res.returncode, EX_NOINPUT)
        self.assertIn(b"command.txt", res.stderr)
        for args in (("--raw",), ("--check", "--check"), ("--check", "extra")):
            res = self.run_tolvex(args)
            self.assertEqual(res.returncode, EX_USAGE, args)
