"""A real peer: the program delivers to a private Postfix instance, and the
messages Postfix puts into the Maildirs must decode, with Python's own MIME
parser, Node's WHATWG decoder and mutt, to the original Japanese names,
subject and text and the attached bytes."""

import email
import email.policy
import os
import shutil
import unittest

import mail_readers as readers
from harness import E2ETest, addr, sjis
from mail_readers import parse
from postfix_peer import PostfixPeer

ADDRESS = addr(90)


class PostfixDelivery(E2ETest):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("postfix"):
            raise AssertionError("postfix is not installed (Debian package postfix)")
        cls.peer = PostfixPeer(ADDRESS)
        cls.addClassCleanup(cls.peer.cleanup)  # stops it whatever happens
        cls.peer.start()

    def send(self, user, lines, sender="sender@example.jp", to=None, loc=True):
        """Runs the program and returns the message delivered to user."""
        before = len(self.peer.delivered(user))
        self.write_command((["#LOC=client.tolvex.test"] if loc else []) + [f"#HOS={ADDRESS}",
                            f"#FRO={sender}", f"#TO={to or user + '@tolvex.test'}"] + lines)
        res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr.decode("utf-8", "replace")
                         + self.peer.log_text())
        self.assert_one_record(0, b"")
        self.assert_clean_end()
        files = self.peer.wait_for_mail(user, before + 1)
        msg = parse(files[before])
        self.assertEqual(msg.defects, [])
        if to is None:
            self.assertEqual(msg["From"], "sender@example.jp")
            self.assertEqual(msg["To"], f"{user}@tolvex.test")
        self.path = files[before]
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

    def test_cc_and_bcc_each_delivered_bcc_in_no_head(self):
        users = ("taro", "hanako", "jiro")
        before = {u: len(self.peer.delivered(u)) for u in users}
        msg = self.send("taro", ["#CC=花子 <hanako@tolvex.test>", "#BCC=jiro@tolvex.test",
                                 "#SUB=写しの件名", "", "本文"])
        self.assertEqual(str(msg["Cc"]), "花子 <hanako@tolvex.test>")
        for user in users:
            files = self.peer.wait_for_mail(user, before[user] + 1)
            self.assertEqual(len(files), before[user] + 1, user)
            copy = parse(files[before[user]])
            self.assertEqual(copy["Subject"], "写しの件名")
            head = open(files[before[user]], "rb").read().split(b"\n\n", 1)[0]
            # Postfix puts its trace lines (X-Original-To, Delivered-To,
            # Received) above the message's own head, which begins with the
            # Subject line and never names the Bcc address.
            self.assertNotIn(b"jiro", head[head.index(b"\nSubject: "):], (user, head))

    def test_without_loc_helo_is_an_address_literal(self):
        # The peer refuses a non-FQDN HELO name and an envelope without
        # angle brackets: a command file without #LOC still delivers.
        msg = self.send("taro", ["#SUB=名前なし", "", "本文"], sender="Taro <taro@example.jp>",
                        to="Taro <taro@tolvex.test>", loc=False)
        self.assertRegex(msg["Received"], r"^from \[127\.0\.0\.\d+\] \(")
        self.assertEqual(msg["Return-Path"], "<taro@example.jp>")

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
        self.assertEqual(parts[2].get_filename(), "説明.txt")
        # The whole message is 7-bit: the Japanese name is encoded.
        with open(self.path, "rb") as f:
            self.assertLess(max(f.read()), 0x80)

    # Names with 表 and ソ (trail byte 0x5C), 能, the IBM extension 髙 and
    # NEC row 13 (①, ㈱) in every place a name can be.
    SENDER = "髙橋 第①課"
    TARO = "山田 太郎"
    HANAKO = "㈱ソフト 能見"
    REPLY = "表 窓口係"
    SUBJECT = "髙橋より ①㈱の件"
    FILE = "髙橋①㈱の見積表ソ.csv"
    BODY = ["髙橋です。", "①と㈱を確かめます。"]

    def send_names(self):
        data = b"a,b\r\n1,2\r\n"
        self.write(self.FILE, data)
        msg = self.send("taro", [f"#REP={self.REPLY} <desk@tolvex.test>", f"#SUB={self.SUBJECT}",
                                 f"#ATT={self.FILE}", ""] + self.BODY,
                        sender=f"{self.SENDER} <sender@example.jp>",
                        to=f"{self.TARO} <taro@tolvex.test>, {self.HANAKO} <hanako@tolvex.test>")
        return msg, data

    def test_names_decode_in_python_and_whatwg(self):
        msg, data = self.send_names()
        # Python's own codecs: the addresses, the RFC 2231 file name (UTF-8)
        # and everything that is JIS X 0208.
        self.assertEqual([a.addr_spec for a in msg["To"].addresses],
                         ["taro@tolvex.test", "hanako@tolvex.test"])
        self.assertEqual(msg["To"].addresses[0].display_name, self.TARO)
        self.assertEqual(msg["Reply-To"].addresses[0].display_name, self.REPLY)
        self.assertEqual(msg["From"].addresses[0].addr_spec, "sender@example.jp")
        attachment = list(msg.iter_parts())[1]
        self.assertEqual(attachment.get_filename(), self.FILE)
        self.assertEqual(attachment.get_content(), data)
        # With ISO-2022-JP read as code page 50221 reads it (rows 13 and
        # 89-92 through code page 932), the email package gives back every
        # name whole, and the name= parameter too.
        with readers.cp5022x_iso2022jp():
            m = parse(self.path)
            self.assertEqual(m["From"].addresses[0].display_name, self.SENDER)
            self.assertEqual([a.display_name for a in m["To"].addresses], [self.TARO, self.HANAKO])
            self.assertEqual(m["Reply-To"].addresses[0].display_name, self.REPLY)
            self.assertEqual(m["Subject"], self.SUBJECT)
            parts = list(m.iter_parts())
            self.assertEqual(parts[0].get_content().splitlines(), [self.FILE, "-----", ""] + self.BODY)
            self.assertEqual(parts[1]["Content-Type"].params["name"], self.FILE)
        # The WHATWG decoder (Thunderbird's and the browsers') reads the same.
        raw = email.message_from_bytes(open(self.path, "rb").read())
        self.assertEqual(readers.whatwg_header(raw["From"]), f"{self.SENDER} <sender@example.jp>")
        self.assertEqual(readers.whatwg_header(raw["To"]),
                         f"{self.TARO} <taro@tolvex.test>, {self.HANAKO} <hanako@tolvex.test>")
        self.assertEqual(readers.whatwg_header(raw["Subject"]), self.SUBJECT)
        body = raw.get_payload()[0].get_payload(decode=True)
        self.assertEqual(readers.whatwg_decode([(body, "iso-2022-jp")])[0].splitlines(),
                         [self.FILE, "-----", ""] + self.BODY)

    def test_names_in_mutt(self):
        self.send_names()
        view = readers.mutt_view(self.path)
        lines = [" ".join(l.split()) for l in view.replace("\n\t", " ").replace("\n ", " ").splitlines()]
        # mutt decodes ISO-2022-JP with glibc's iconv, which knows JIS X 0208
        # only (no row 13, no rows 89-92): it shows the names made of JIS
        # X 0208 characters, and the file name (RFC 2231 UTF-8) whole.
        self.assertIn(f"Reply-To: {self.REPLY} <desk@tolvex.test>", lines)
        to = [l for l in lines if l.startswith("To: ")]
        self.assertEqual(len(to), 1, lines)
        self.assertTrue(to[0].startswith(f"To: {self.TARO} <taro@tolvex.test>, "), to)
        self.assertTrue(to[0].endswith(" <hanako@tolvex.test>"), to)
        self.assertIn(f"[-- Attachment #2: {self.FILE} --]", lines)
        self.assertIn("-----", lines)

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


class SmtpUtf8Peer(PostfixPeer):
    """Postfix with SMTPUTF8 on and one mailbox, 山田@例え.jp (its domain as
    the A-label the program sends)."""

    def settings(self):
        return {**super().settings(), "smtputf8_enable": "yes"}

    def prepare(self):
        with open(os.path.join(self.conf, "vmailbox"), "w", encoding="utf-8") as f:
            f.write(f"山田@{self.domain} yamada/\n")


class PostfixSmtpUtf8(E2ETest):
    def test_a_local_part_not_in_ascii_is_delivered(self):
        if not shutil.which("postfix"):
            raise AssertionError("postfix is not installed (Debian package postfix)")
        with SmtpUtf8Peer(addr(133), domain="xn--r8jz45g.jp", users=()) as peer:
            self.write_command(["#LOC=client.tolvex.test", f"#HOS={addr(133)}", "#SEC=none",
                                "#FRO=送信表 <sender@例え.jp>", "#TO=山田様 <山田@例え.jp>",
                                "#SUB=国際化アドレス", "", "本文 表ソ能"])
            res = self.run_tolvex()
            self.assertEqual(res.returncode, 0,
                             res.stderr.decode("utf-8", "replace") + peer.log_text())
            with open(peer.wait_for_mail("yamada")[0], encoding="utf-8") as f:
                msg = email.message_from_string(f.read(), policy=email.policy.default)  # RFC 6532
        self.assertEqual(msg["To"].addresses[0].addr_spec, "山田@xn--r8jz45g.jp")
        self.assertEqual(msg["To"].addresses[0].display_name, "山田様")
        self.assertEqual(msg["From"].addresses[0].addr_spec, "sender@xn--r8jz45g.jp")
        self.assertEqual(msg["Subject"], "国際化アドレス")
        self.assertEqual(msg.get_content().strip(), "本文 表ソ能")


if __name__ == "__main__":
    unittest.main()
