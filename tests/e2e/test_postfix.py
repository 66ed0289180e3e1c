"""A real peer: the program delivers to a private Postfix instance, and the
messages Postfix puts into the Maildirs must decode, with Python's own MIME
parser, to the original Japanese subject and text and the attached bytes."""

import email
import email.policy
import os
import shutil
import unittest

from harness import E2ETest, addr, sjis
from postfix_peer import PostfixPeer

ADDRESS = addr(90)


def parse(path):
    with open(path, "rb") as f:
        return email.message_from_bytes(f.read(), policy=email.policy.default)


class PostfixDelivery(E2ETest):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("postfix"):
            raise AssertionError("postfix is not installed (Debian package postfix)")
        cls.peer = PostfixPeer(ADDRESS)
        cls.addClassCleanup(cls.peer.cleanup)  # stops it whatever happens
        cls.peer.start()

    def send(self, user, lines):
        """Runs the program and returns the message delivered to user."""
        before = len(self.peer.delivered(user))
        self.write_command(["#LOC=client.tolvex.test", f"#HOS={ADDRESS}",
                            "#FRO=sender@example.jp", f"#TO={user}@tolvex.test"] + lines)
        res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr.decode("utf-8", "replace")
                         + self.peer.log_text())
        self.assert_one_record(0, b"")
        self.assert_clean_end()
        files = self.peer.wait_for_mail(user, before + 1)
        msg = parse(files[before])
        self.assertEqual(msg.defects, [])
        self.assertEqual(msg["From"], "sender@example.jp")
        self.assertEqual(msg["To"], f"{user}@tolvex.test")
        return msg

    def test_plain_japanese_message(self):
        body = ["こんにちは、世界。", "表示とソフトの能力を十分に試します。", "ASCII line", ".",
                "半角ｶﾀｶﾅ混じり", "最後の行"]
        msg = self.send("taro", ["#SUB=日本語の件名 テスト", ""] + body)
        self.assertEqual(msg["Subject"], "日本語の件名 テスト")
        self.assertEqual(msg.get_content_type(), "text/plain")
        self.assertEqual(msg.get_content_charset(), "iso-2022-jp")
        # Half-width katakana go out as raw 8-bit bytes in the ISO-2022-JP
        # text, which no ISO-2022-JP decoder maps: compare the other lines.
        text = msg.get_payload(decode=True)
        lines = text.split(b"\n")
        for i, line in enumerate(body):
            if "ｶ" in line:
                self.assertIn(b"\xb6\xc0\xb6\xc5", lines[i])
                continue
            self.assertEqual(lines[i].rstrip(b"\r").decode("iso-2022-jp"), line)

    def test_attachment_message(self):
        blob = os.urandom(5000) + bytes(range(256))
        doc = sjis("添付の説明書\r\n二行目\r\n")
        self.write("photo.bin", blob)
        self.write("説明.txt", doc)
        msg = self.send("hanako", ["#SUB=添付ファイル", "#ATT=photo.bin, 説明.txt", "",
                                   "添付を二つ送ります。"])
        self.assertEqual(msg["Subject"], "添付ファイル")
        self.assertTrue(msg.is_multipart())
        parts = list(msg.iter_parts())
        self.assertEqual(len(parts), 3)
        self.assertEqual(parts[0].get_content().splitlines(),
                         ["photo.bin, 説明.txt", "-----", "", "添付を二つ送ります。"])
        self.assertEqual(parts[1].get_filename(), "photo.bin")
        self.assertEqual(parts[1].get_content(), blob)
        self.assertEqual(parts[2].get_content(), doc)
        # The name goes out as raw Shift_JIS, unencoded.
        with open(self.peer.delivered("hanako")[-1], "rb") as f:
            self.assertIn(b'name="' + sjis("説明.txt") + b'"', f.read())

    def test_parts_from_files_message(self):
        text = "部品から組み立てた本文です。"
        part1 = (b"Content-Type: text/plain; charset=iso-2022-jp\r\n"
                 b"Content-Transfer-Encoding: 7bit\r\n\r\n" + text.encode("iso-2022-jp") + b"\r\n")
        part2 = (b'Content-Type: application/octet-stream; name="n.bin"\r\n'
                 b"Content-Transfer-Encoding: base64\r\n\r\nAAECAwQF/w==\r\n")
        self.write("part1.txt", part1)
        self.write("part2.txt", part2)
        msg = self.send("taro", ["#SUB=部品", "#MUL=part1.txt,part2.txt", "", "unused"])
        self.assertEqual(msg["Subject"], "部品")
        parts = list(msg.iter_parts())
        self.assertEqual(len(parts), 2)
        self.assertEqual(parts[0].get_content().strip(), text)
        self.assertEqual(parts[1].get_filename(), "n.bin")
        self.assertEqual(parts[1].get_content(), b"\x00\x01\x02\x03\x04\x05\xff")


if __name__ == "__main__":
    unittest.main()
