"""Kept mail sent by the next run: a first run against a server that
answers 421 keeps the message as undelivered/<name>.eml with its .json
sidecar (#QUE without #RTY); the next run against a working server sends
it first, its Bcc in the envelope, then the new message, and leaves the
folder empty; --flush sends the kept mail only. Addresses 203-204 (213-214
under Wine, e2e_win_submission.WinQueue)."""

import base64
import email
import email.policy
import json
import os
import stat

from harness import E2ETest, Script, ScriptedSmtpServer, addr

SUBJECT = "再送 表示とソフト"
BCC = "能力 <hidden@example.jp>"


def raw(value):
    """A sidecar text's bytes: a string (ASCII), or {"bytes": Base64}."""
    return value.encode("ascii") if isinstance(value, str) else base64.b64decode(value["bytes"])


def lines(n, extra):
    return [f"#HOS={addr(n)}", "#FRO=差出人 <from@example.jp>", "#TO=宛先 <to@example.jp>",
            f"#SUB={SUBJECT}", f"#BCC={BCC}", "#QUE=3", *extra, "", "本文", ".dot line"]


class QueueCases:
    """The cases, for tolvex here and tolvex.exe under Wine: FIRST and
    FIRST + 1 are the servers' addresses; `private_files` whether the kept
    files are made 0600."""

    FIRST = 203
    private_files = True

    def pair(self):
        folder = self.path("undelivered")
        names = sorted(n for n in os.listdir(folder) if not os.path.isdir(os.path.join(folder, n)))
        self.assertEqual(len(names), 2, names)
        self.assertRegex(names[0], r"^\d{8}-\d{6}-1\.eml$")
        self.assertEqual(names[1], names[0][:-4] + ".json")
        return names

    def keep_one(self, n):
        self.write_command(lines(n, []))
        with ScriptedSmtpServer(addr(n), Script(greeting=b"421 4.3.2 busy\r\n")) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 75, res.stderr)
        self.assertEqual(len(server.sessions), 1)
        eml, sidecar = self.pair()
        for name in (eml, sidecar) if self.private_files else ():
            self.assertEqual(os.lstat(self.path("undelivered/" + name)).st_mode,
                             stat.S_IFREG | 0o600)
        message = self.read("undelivered/" + eml)
        self.assertNotIn(b"hidden", message)  # a standard message: no Bcc line
        self.assertEqual(str(email.message_from_bytes(message, policy=email.policy.default)
                             ["Subject"]), SUBJECT)
        data = json.loads(self.read("undelivered/" + sidecar))
        self.assertEqual([raw(v) for v in data["to"]], ["宛先 <to@example.jp>".encode("cp932")])
        self.assertEqual([raw(v) for v in data["bcc"]], [BCC.encode("cp932")])
        self.assertEqual(raw(data["from"]), "差出人 <from@example.jp>".encode("cp932"))
        self.assertEqual((data["attempts"], data["sending"]), (1, False))
        self.assertEqual(data["last_failure"]["state"], 120)
        self.assertIn(b"421 4.3.2 busy", raw(data["last_failure"]["text"]))
        return eml, message

    def test_next_run_sends_the_kept_message_first_with_its_bcc(self):
        eml, message = self.keep_one(self.FIRST)
        with ScriptedSmtpServer(addr(self.FIRST), Script()) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(len(server.sessions), 2)
        kept, new = server.sessions
        rcpts = [c for c in kept.commands if c.startswith(b"RCPT")]
        self.assertEqual(rcpts, [b"RCPT TO:<to@example.jp>\r\n", b"RCPT TO:<hidden@example.jp>\r\n"])
        self.assertEqual(kept.message, message)
        self.assertNotEqual(new.message, kept.message)  # its own Date and Message-ID
        self.assertEqual(os.listdir(self.path("undelivered")), [])
        records = self.log_records()
        self.assertEqual([r[1] for r in records], [120, 0, 0])
        self.assertEqual(records[1][2], f"(kept undelivered/{eml})".encode())

    def test_flush_sends_only_the_kept_mail(self):
        n = self.FIRST + 1
        eml, _ = self.keep_one(n)
        with ScriptedSmtpServer(addr(n), Script(replies={"MAIL": b"550 5.7.1 no\r\n"})) as server:
            res = self.run_tolvex(["--flush"])
        self.assertEqual(res.returncode, 69, res.stderr)
        self.assertEqual(len(server.sessions), 1)
        self.assertTrue(self.exists(f"undelivered/refused/{eml}"))
        self.assertTrue(self.exists(f"undelivered/refused/{eml[:-4]}.json"))
        with ScriptedSmtpServer(addr(n), Script()) as server:
            res = self.run_tolvex(["--flush"])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(server.sessions, [])
        self.assertTrue(self.exists("command.txt"))


class KeptThenSent(QueueCases, E2ETest):
    pass
