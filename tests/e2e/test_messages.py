"""Successful deliveries of the three kinds of message: the exact commands,
the exact bytes on the wire, the spool file while sending, the log."""

import contextlib
import email
import email.policy
import os
import re
import unittest

import mail_readers as readers
import reference as ref
from harness import CRLF, E2ETest, Script, ScriptedSmtpServer, addr, sjis

DEFAULT_TAIL = [b"DATA\r\n", b"QUIT\r\n"]


class Delivery(E2ETest):
    def deliver(self, server):
        with server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        # Not a terminal: nothing to say on success.
        self.assertEqual((res.stdout, res.stderr), (b"", b""))
        self.assertEqual(server.errors, [])
        self.assertEqual(len(server.sessions), 1)
        session = server.sessions[0]
        self.assertTrue(session.complete, "message terminator never arrived")
        self.assert_one_record(0, b"")
        self.assert_clean_end()
        return res, session

    def assert_message(self, session, expected):
        """Wire bytes are the dot-stuffed message; un-stuffed they are the
        message itself, which the spool file holds followed by CR LF."""
        expected = ref.stamped(expected, ref.stamp_of(session.message))
        self.assertEqual(session.message + b".\r\n", expected)
        self.assertEqual(session.data, ref.dot_stuff(expected))
        self.assertEqual(self.spool, [expected + CRLF])


class PlainMessage(Delivery):
    BODY = ["本文の一行目です。", "能力 十 竹|bar \\ back", ".", "..two", ".dot start", "最後の行 "]

    def plain_command(self, n):
        return ["#LOC=tolvex.test", f"#HOS={addr(n)}", "#FRO=送信者 <sender@example.jp>",
                "#TO=alice@example.jp, bob@example.jp", "#SUB=試験の件名 表示とソフト",
                "#REP=reply@example.jp", ""] + self.BODY

    def expected_plain(self):
        acc = CRLF + b"".join(sjis(l) + CRLF for l in self.BODY)
        return ref.plain_message(acc, sjis("送信者 <sender@example.jp>"),
                                 b"alice@example.jp, bob@example.jp",
                                 subject=sjis("試験の件名 表示とソフト"),
                                 reply_to=b"reply@example.jp")

    def test_plain_japanese_message_with_dot_lines(self):
        self.write_command(self.plain_command(40))
        _, s = self.deliver(self.serve(40))
        self.assertEqual(s.commands, [b"HELO tolvex.test\r\n", b"MAIL FROM:<sender@example.jp>\r\n",
                                      b"RCPT TO:<alice@example.jp>\r\n", b"RCPT TO:<bob@example.jp>\r\n"]
                         + DEFAULT_TAIL)
        self.assert_message(s, self.expected_plain())
        # The "." body lines are doubled on the wire only.
        self.assertIn(b"\r\n..\r\n...two\r\n..dot start\r\n", s.data)
        self.assertIn(b"\r\n.\r\n..two\r\n.dot start\r\n", s.message)
        self.assertTrue(self.exists("command.txt"), "command.txt removed without #DEL")

    def test_one_command_per_tick(self):
        self.write_command(self.plain_command(47))
        _, s = self.deliver(self.serve(47))
        # A command is sent at most once a tick, and each waits a tick for the
        # send to complete and another for the reply: >= 2 ticks apart.
        gaps = [b - a for a, b in zip(s.command_times, s.command_times[1:])]
        self.assertGreaterEqual(min(gaps), 0.15, gaps)
        self.assertGreaterEqual(s.command_times[-1] - s.command_times[0], 1.0)

    def test_lf_only_command_file_gives_the_same_message(self):
        self.write_command(self.plain_command(43), eol=b"\n")
        _, s = self.deliver(self.serve(43))
        self.assert_message(s, self.expected_plain())

    def test_text_file_follows_body_and_del_removes_command_file(self):
        # The text file has no final line break and only one-byte characters,
        # so its text ends without CR LF: one is put before the "." line.
        text = b"attached text\r\nno break"
        self.write("報告.txt", text)
        self.write_command(["#DEL", f"#HOS={addr(44)}", "#LOC=h", "#TEX=報告.txt",
                            "mailbob@example.jp", "前書き"])
        _, s = self.deliver(self.serve(44))
        acc = sjis("報告.txt") + b"\r\n-----\r\n" + sjis("前書き") + CRLF
        expected = ref.plain_message(acc, b"DummySender", b"bob@example.jp", text_file=text)
        self.assert_message(s, expected)
        self.assertTrue(s.message.endswith(b"no break\r\n"), s.message[-40:])
        self.assertEqual(s.commands[:3], [b"HELO h\r\n", b"MAIL FROM:<DummySender>\r\n",
                                          b"RCPT TO:<bob@example.jp>\r\n"])
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")

    def test_cat_line_with_bar_trail_byte_and_named_recipients(self):
        # The second byte of 竹 is "|" and that of ソ is "\\": neither splits.
        text = sjis("竹の報告です。\r\n以上\r\n")
        self.write("竹.txt", text)
        self.write_command([f"#HOS={addr(63)}", "#LOC=tolvex.test",
                            "cat 竹.txt |mail 山田 <yamada@example.jp>,ソ <so@example.jp>", "よろしく"])
        _, s = self.deliver(self.serve(63))
        self.assertEqual(s.commands[2:4], [b"RCPT TO:<yamada@example.jp>\r\n", b"RCPT TO:<so@example.jp>\r\n"])
        acc = sjis("竹.txt") + b"\r\n-----\r\n" + sjis("よろしく") + CRLF
        # The second name does not fit after the first entry: folded before it.
        to = ref.Field(b"To: " + ref.encoded_word(sjis("山田")) + b" <yamada@example.jp>,\r\n "
                       + ref.encoded_word(sjis("ソ")) + b" <so@example.jp>")
        expected = ref.plain_message(acc, b"DummySender", to, text_file=text)
        self.assert_message(s, expected)

    def test_multiline_greeting_and_500_250_reply_to_message(self):
        self.write_command([f"#HOS={addr(46)}", "#TO=x@example.jp", "", "body"])
        server = self.serve(46, greeting=b"220-first line\r\n220 second line\r\n",
                            replies={"MESSAGE": b"500-not this\r\n250 but this\r\n"})
        _, s = self.deliver(server)
        # No #LOC: the connection's own address as a literal.
        self.assertRegex(s.commands[0], rb"^HELO \[127\.0\.0\.\d+\]\r\n$")
        self.assertEqual(s.verbs(), ["HELO", "MAIL", "RCPT", "DATA", "QUIT"])


    def test_large_body_of_dot_lines_crosses_send_chunks(self):
        # About 4 MiB of lines that start with dots, so the doubling falls on
        # every position of the socket's send buffers.
        body = []
        for i in range(120000):
            body += [".", "..x" + "y" * (i % 37), "z" * (i % 11), "." * (1 + i % 3)]
        self.write_command([f"#HOS={addr(49)}", "#TO=a@example.jp", ""] + body)
        _, s = self.deliver(self.serve(49))
        acc = CRLF + b"".join(l.encode() + CRLF for l in body)
        expected = ref.plain_message(acc, b"DummySender", b"a@example.jp")
        self.assertGreater(len(expected), 4 << 20)
        self.assert_message(s, expected)


    def test_log_records_accumulate_across_runs(self):
        self.write_command([f"#HOS={addr(45)}", "#TO=a@example.jp", "", "x"])
        self.deliver(self.serve(45))
        greeting = b"554-first\r\n554 second line\r\n"
        with ScriptedSmtpServer(addr(45), Script(greeting=greeting)):
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 69, res.stderr)
        records = self.log_records()
        # Line ends inside the server's text are shown as escapes, so one
        # record stays one line; the text's own last CR LF stays.
        self.assertEqual([r[1:] for r in records],
                         [(0, b""), (120, b"554-first\\r\\n554 second line\r\n")])
        # Each record is one CR LF line, here followed by the empty line
        # that the reply's own last CR LF makes.
        self.assertRegex(self.read("LOG.txt"),
                         rb"\A\d{4}/\d\d/\d\d \d{1,2}:\d\d:\d\d 0 \r\n"
                         rb"\d{4}/\d\d/\d\d \d{1,2}:\d\d:\d\d 120 554-first\\r\\n554 second line\r\n\r\n\Z")


class WrittenAsTyped(Delivery):
    """A backslash and a tilde after Japanese text arrive as typed in every
    reader the harness has; a body line of 10 MB leaves as lines of at most
    998 octets that read back as the line."""

    PATH = "保存先：C:\\share\\月報"
    URL = "URL: http://example.jp/~user/ 表ソ能"
    SUBJECT = "保存先 C:\\share\\月報 ~user"

    def test_backslash_and_tilde_read_back_as_typed(self):
        body = [self.PATH, self.URL, "竹|bar ￥ ですが \\ はそのまま"]
        self.write_command([f"#HOS={addr(15)}", "#LOC=tolvex.test", "#FRO=from@example.jp",
                            "#TO=to@example.jp", f"#SUB={self.SUBJECT}", ""] + body)
        _, s = self.deliver(self.serve(15))
        acc = CRLF + b"".join(sjis(l) + CRLF for l in body)
        self.assert_message(s, ref.plain_message(acc, b"from@example.jp", b"to@example.jp",
                                                 subject=sjis(self.SUBJECT)))
        self.assertIn(b"\x1b(BC:\\share\\\x1b$B", s.message)
        path = self.write("delivered.eml", s.message)
        m = readers.parse(path)
        self.assertEqual(m["Subject"], self.SUBJECT)
        self.assertEqual(m.get_content().splitlines(), body)
        raw = email.message_from_bytes(s.message)
        self.assertEqual(readers.whatwg_header(raw["Subject"]), self.SUBJECT)
        self.assertEqual(readers.whatwg_decode([(raw.get_payload(decode=True), "iso-2022-jp")])[0]
                         .splitlines(), body)
        view = readers.mutt_view(path).splitlines()
        for line in [f"Subject: {self.SUBJECT}"] + body:
            self.assertIn(line, view)

    def test_ten_megabyte_line_leaves_in_lines_of_998_octets(self):
        unit = self.PATH + " ~user "
        n = 10_000_000 // len(sjis(unit))
        text = unit * n
        s, peak = self.measured_delivery([text])
        whole = ref.plain_message(CRLF + sjis(text) + CRLF, b"DummySender", b"to@example.jp")
        split = whole.index(b"\r\n\r\n") + 4
        head, line = whole[:split], whole[split:]
        got = (s.message + b".\r\n")[len(ref.stamped(head, ref.stamp_of(s.message))):]
        lines = got.split(CRLF)
        self.assertEqual(lines[-2:], [b".", b""])
        # Each line but the last as long as the limit lets it be: broken
        # before the character that would pass 998, inside two-byte text
        # back to one-byte text first and into it again after the break.
        self.assertGreater(len(lines), 10000)
        self.assertTrue(all(990 <= len(l) <= 998 for l in lines[:-3]), sorted(map(len, lines))[:3])
        self.assertEqual(unbreak(lines[:-2]) + b"\r\n.\r\n", line)
        content = readers.parse(self.write("big.eml", s.message)).get_content()
        self.assertEqual("".join(content.splitlines()), text)
        # The breaking copies nothing: the same text in lines of 40 units
        # takes as much memory.
        _, short_peak = self.measured_delivery([unit * 40] * (n // 40))
        self.assertLess(abs(peak - short_peak), 2048, (peak, short_peak))

    def measured_delivery(self, lines):
        """One delivery to 127.0.0.16 under GNU time: the session and the
        peak resident set in KiB."""
        self.write_command([f"#HOS={addr(16)}", "#TO=to@example.jp", ""] + lines)
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.path("LOG.txt"))
        with self.serve(16) as server:
            m = self.run_measured(timeout=120)
        self.assertEqual((m.status, m.stderr), (0, b""))
        self.assertEqual(len(server.sessions), 1)
        self.assertTrue(server.sessions[0].complete)
        self.assert_one_record(0, b"")
        return server.sessions[0], m.peak_kib


def unbreak(lines):
    """Lines of a broken text joined again: a break inside two-byte text
    (ESC ( J at the end of a line and ESC $ B at the start of the next)
    taken out with its escapes."""
    out = []
    for i, l in enumerate(lines):
        if i > 0 and out[-1].endswith(b"\x1b(J") and l.startswith(b"\x1b$B"):
            out[-1] = out[-1][:-3]
            l = l[3:]
        out.append(l)
    return b"".join(out)


class AttachmentMessage(Delivery):
    def test_three_attachments_with_japanese_and_backslash_names(self):
        data = bytes(range(256)) * 4 + b"x"        # short last line
        full = bytes((i * 7) % 256 for i in range(108))  # two full lines: ends in CR LF
        text = sjis("表とソの資料\r\n")
        self.write("data.bin", data)
        self.write("資料\\表ソ.txt", text)  # one name on Linux: the backslash is a character
        self.write("full.bin", full)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(41)}", "#FRO=from@example.jp",
                            "#TO=to@example.jp", "#SUB=添付ファイルの送付",
                            "#ATT=data.bin, 資料\\表ソ.txt,full.bin", "", "本文です。"])
        _, s = self.deliver(self.serve(41))
        acc = sjis("data.bin, 資料\\表ソ.txt,full.bin") + b"\r\n-----\r\n" + CRLF + sjis("本文です。") + CRLF
        expected = ref.attachment_message(
            acc, [(b"data.bin", data), (sjis("表ソ.txt"), text), (b"full.bin", full)],
            b"from@example.jp", b"to@example.jp", subject=sjis("添付ファイルの送付"))
        self.assert_message(s, expected)
        self.assertIn(b'Content-Type: application/octet-stream;\r\n'
                      b' name="=?ISO-2022-JP?B?GyRCST0lPRsoSi50eHQ=?="\r\n'
                      b"Content-Disposition: attachment; filename*=UTF-8''%E8%A1%A8%E3%82%BD.txt\r\n",
                      s.message)

    def test_japanese_names_and_vendor_characters(self):
        # 髙 is an IBM extension character (FBFC), ① and ㈱ are NEC row 13:
        # all travel as JIS codes in every encoded word and in the body.
        blob = bytes(range(200))
        self.write("髙橋①㈱.csv", blob)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(64)}", "#FRO=髙橋 <takahashi@example.jp>",
                            "#TO=山田 太郎 <yamada@x.jp>,bob@x.jp",
                            "#REP=㈱ソフト 表 <desk@x.jp>", "#SUB=髙橋①㈱の表",
                            "#ATT=髙橋①㈱.csv", "", "髙橋です。①㈱"])
        _, s = self.deliver(self.serve(64))
        self.assertEqual(s.commands[1:4], [b"MAIL FROM:<takahashi@example.jp>\r\n",
                                           b"RCPT TO:<yamada@x.jp>\r\n", b"RCPT TO:<bob@x.jp>\r\n"])
        acc = sjis("髙橋①㈱.csv") + b"\r\n-----\r\n" + CRLF + sjis("髙橋です。①㈱") + CRLF
        expected = ref.attachment_message(
            acc, [(sjis("髙橋①㈱.csv"), blob)], sjis("髙橋 <takahashi@example.jp>"),
            sjis("山田 太郎 <yamada@x.jp>,bob@x.jp"), subject=sjis("髙橋①㈱の表"),
            reply_to=sjis("㈱ソフト 表 <desk@x.jp>"))
        self.assert_message(s, expected)
        # 7-bit throughout: no byte of the names travels raw.
        self.assertLess(max(s.message), 0x80)
        self.assertIn(b"\r\nFrom: =?ISO-2022-JP?B?GyRCfGI2NhsoSg==?= <takahashi@example.jp>\r\n", s.message)

    def test_one_attachment_follows_body_directly(self):
        blob = bytes(range(54))  # 18 groups: one full line, then CR LF
        self.write("one.bin", blob)
        self.write_command([f"#HOS={addr(48)}", "bin one.bin |mail a@example.jp, b@example.jp", "本文"])
        _, s = self.deliver(self.serve(48))
        acc = b"one.bin\r\n-----\r\n" + sjis("本文") + CRLF
        expected = ref.attachment_message(acc, [(b"one.bin", blob)], b"DummySender",
                                          b"a@example.jp, b@example.jp")
        self.assert_message(s, expected)
        self.assertEqual(s.verbs().count("RCPT"), 2)


class PartsMessage(Delivery):
    def test_parts_from_files(self):
        part1 = (b"  Content-Type: text/plain; charset=iso-2022-jp\r\n"
                 b"Content-Transfer-Encoding: 7bit\r\n\r\n" + ref.sjis_to_jis(sjis("第一部")) + b"\r\n")
        # No final line break, two double-byte characters: CR LF still fits.
        part2 = b"Content-Type: text/plain; charset=shift_jis\r\n\r\n" + sjis("第二部")
        # A line starting with "." inside a part is stuffed on the wire too.
        part3 = b"Content-Type: text/plain\r\n\r\n.hidden\r\nend\r\n"
        self.write("p1.txt", part1)
        self.write("部品2.txt", part2)
        self.write("p3.txt", part3)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(42)}", "#TO=to@example.jp",
                            "#SUB=部品", "#MUL=p1.txt, 部品2.txt ,p3.txt", "", "ignored body"])
        _, s = self.deliver(self.serve(42))
        expected = ref.parts_message([part1, part2, part3], b"DummySender", b"to@example.jp",
                                     subject=sjis("部品"))
        self.assert_message(s, expected)
        self.assertNotIn(b"ignored body", s.message)
        self.assertIn(b"\r\n..hidden\r\n", s.data)


class UnicodeMessage(Delivery):
    """UTF-8 and UTF-16 command files: read back by Python's email package."""

    def read_back(self, session):
        self.assertTrue(all(b < 0x80 for b in session.message), "a byte of 0x80 or more")
        return email.message_from_bytes(session.message, policy=email.policy.default)

    def test_utf8_command_file_with_emoji_gives_a_utf8_message(self):
        name = 'ファイル😀 "引用".txt'
        self.write(name, b"\x00\xff data")
        self.write("𠮷.txt", "𠮷野家の報告 😀\n二行目\n".encode())
        lines = [f"#HOS={addr(91)}", '#FRO="山田 😀" <yamada@example.jp>',
                 "#TO=𠮷野 <k@example.jp>, b@example.jp",
                 "#SUB=絵文字 😀 と 𠮷 と ｶﾀｶﾅ と ①㈱髙 の件名、折り返されるほど長い件名です。",
                 f"#ATT={name}", "", "本文 😀 𠮷", "表ソ能"]
        self.write("command.txt", "\n".join(lines).encode() + b"\n")
        _, s = self.deliver(self.serve(91))
        m = self.read_back(s)
        self.assertEqual(str(m["Subject"]),
                         "絵文字 😀 と 𠮷 と ｶﾀｶﾅ と ①㈱髙 の件名、折り返されるほど長い件名です。")
        self.assertEqual(m["From"].addresses[0].display_name, "山田 😀")
        self.assertEqual([a.display_name for a in m["To"].addresses], ["𠮷野", ""])
        text, attachment = list(m.iter_parts())
        self.assertEqual(text.get_content(), f"{name}\r\n-----\r\n\r\n本文 😀 𠮷\r\n表ソ能\r\n")
        self.assertEqual(attachment.get_filename(), name)
        self.assertEqual(attachment.get_content(), b"\x00\xff data")

    def test_utf16_command_file_and_utf8_text_file(self):
        self.write("報告.txt", "報告 😀\r\n以上 \r\n\r\n".encode())
        lines = [f"#HOS={addr(92)}", "#TO=a@example.jp", "#SUB=𠮷", "#TEX=報告.txt", "", "前書き"]
        self.write("command.txt", "\r\n".join(lines).encode("utf-16"))
        _, s = self.deliver(self.serve(92))
        m = self.read_back(s)
        self.assertEqual(str(m["Subject"]), "𠮷")
        self.assertEqual(m.get_content(), "報告.txt\r\n-----\r\n\r\n前書き\r\n報告 😀\r\n以上\r\n")

    def test_forced_iso_2022_jp_sends_the_geta_mark_and_says_so(self):
        lines = [f"#HOS={addr(94)}", "#TO=a@example.jp", "#CHR=iso-2022-jp", "#SUB=😀 表", ""]
        self.write("command.txt", "\n".join(lines).encode())
        with self.serve(94) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(res.stderr.decode(),
                         "tolvex: 1 character has no ISO-2022-JP form and goes out as 〓\n")
        self.assertTrue(server.sessions[0].message.startswith(ref.subject_line(sjis("〓 表"))))

    def test_utf8_text_that_fits_goes_out_as_the_shift_jis_file_would(self):
        lines = [f"#HOS={addr(93)}", "#TO=鈴木 <s@example.jp>", "#SUB=表ソ能の件", "", "本文です。"]
        self.write("command.txt", "\r\n".join(lines).encode("utf-8-sig"))
        _, s = self.deliver(self.serve(93))
        expected = ref.plain_message(CRLF + sjis("本文です。") + CRLF, b"DummySender",
                                     sjis("鈴木 <s@example.jp>"), subject=sjis("表ソ能の件"))
        self.assert_message(s, expected)


class AddressesAndNames(Delivery):
    """What a reader shows is what the envelope carries: quoted names
    holding "," and "<" are names; attachments are named by their last path
    component, "/" separating too."""

    def test_quoted_names_give_the_envelope_the_head_shows(self):
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(18)}",
                            '#FRO="Evil <boss@corp.example>" <t@x.jp>',
                            '#TO="Suzuki, Ichiro" <s@x.jp>, b@example.jp',
                            '#CC="課長, 営業部" <boss@example.jp>', "#BCC=\"Audit, x\" <a@x.jp>",
                            "", "本文"])
        _, s = self.deliver(self.serve(18))
        self.assertEqual(s.commands[1:6], [b"MAIL FROM:<t@x.jp>\r\n", b"RCPT TO:<s@x.jp>\r\n",
                                           b"RCPT TO:<b@example.jp>\r\n",
                                           b"RCPT TO:<boss@example.jp>\r\n", b"RCPT TO:<a@x.jp>\r\n"])
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        seen = {f: [(a.display_name, a.addr_spec) for a in m[f].addresses] for f in ("From", "To", "Cc")}
        self.assertEqual(seen, {"From": [("Evil <boss@corp.example>", "t@x.jp")],
                                "To": [("Suzuki, Ichiro", "s@x.jp"), ("", "b@example.jp")],
                                "Cc": [("課長, 営業部", "boss@example.jp")]})
        self.assertEqual([m[f].defects for f in ("From", "To", "Cc")], [(), (), ()])
        self.assertNotIn(b"Audit", s.message)

    def test_attachment_named_by_its_last_path_component(self):
        pdf, blob = b"%PDF-1.4\n" * 20, bytes(range(40))
        absolute = self.write("資料/報告書.pdf", pdf)
        self.write("表ソ/能.bin", blob)  # 表 and ソ end in 0x5C: no separator
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(29)}", "#TO=a@example.jp",
                            f"#ATT={absolute},表ソ/能.bin", "", "本文"])
        _, s = self.deliver(self.serve(29))
        acc = sjis(f"{absolute},表ソ/能.bin") + b"\r\n-----\r\n" + CRLF + sjis("本文") + CRLF
        expected = ref.attachment_message(acc, [(sjis("報告書.pdf"), pdf), (sjis("能.bin"), blob)],
                                          b"DummySender", b"a@example.jp")
        self.assert_message(s, expected)
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual([p.get_filename() for p in m.iter_attachments()], ["報告書.pdf", "能.bin"])


class Wildcards(Delivery):
    """Attachments named by a pattern (127.0.0.196): "?" is one Japanese
    character, the matches go out sorted, --check shows them, and a pattern
    that matches nothing stops the run."""

    def test_japanese_pattern_with_question_mark(self):
        files = {"日報/報告表.pdf": b"%PDF hyo", "日報/報告書.pdf": b"%PDF sho",
                 "日報/報告12.pdf": b"two characters", "日報/.報告x.pdf": b"hidden"}
        for name, data in files.items():
            self.write(name, data)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(196)}", "#TO=a@example.jp",
                            "#ATT=日報/報告?.pdf", "", "本文"])
        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn('Pattern:  "日報/報告?.pdf" -> 日報/報告書.pdf, 日報/報告表.pdf\n'.encode(),
                      check.stdout)
        _, s = self.deliver(self.serve(196))
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        text, *attachments = m.iter_parts()
        self.assertEqual([(a.get_filename(), a.get_content()) for a in attachments],
                         [("報告書.pdf", b"%PDF sho"), ("報告表.pdf", b"%PDF hyo")])
        self.assertEqual(text.get_content(), "日報/報告書.pdf,日報/報告表.pdf\r\n-----\r\n\r\n本文\r\n")

        self.write_command(["#HOS=" + addr(196), "#TO=a@example.jp", "#ATT=日報/報告?.xls", "", "本文"])
        res = self.run_tolvex()
        self.assertEqual(res.returncode, 66, res.stderr)
        self.assertIn('"日報/報告?.xls"'.encode(), res.stderr)


class HtmlReports(Delivery):
    """#HTM (127.0.0.232-233): a Shift_JIS report with a chart used twice,
    sent as alternative[text, related[HTML, image]] inside mixed before the
    attachment; the text made from the HTML; a missing image stops the run."""

    HTML = ('<html><head><meta http-equiv="Content-Type" content="text/html; charset=Shift_JIS">'
            "<title>夜間報告</title></head><body><h1>夜間報告 表ソ能</h1>"
            '<p>売上&amp;在庫<br>竹|</p><img src="図/売上.png"><img src="図/売上.png">'
            '<img src="http://example.jp/logo.png"><img src="../secret.png">'
            '<a href="https://example.jp/r">詳細</a></body></html>')
    CHART = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 64

    def test_report_with_a_chart_used_twice_and_an_attachment(self):
        self.write("報告.html", sjis(self.HTML))
        self.write("図/売上.png", self.CHART)
        self.write("data.csv", b"a,b\r\n")
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(232)}", "#FRO=from@example.jp",
                            "#TO=to@example.jp", "#SUB=夜間報告", "#HTM=報告.html", "#ATT=data.csv", ""])
        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn(b"Structure:\n  multipart/mixed\n    multipart/alternative\n      text/plain  ",
                      check.stdout)
        self.assertIn(f"        image/png  {len(self.CHART)} bytes\n    application/octet-stream  5 bytes\n"
                      .encode(), check.stdout)
        _, s = self.deliver(self.serve(232))
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        shape = [(p.get_content_type(), [q.get_content_type() for q in p.iter_parts()])
                 for p in m.walk() if p.is_multipart()]
        self.assertEqual(shape, [("multipart/mixed", ["multipart/alternative", "application/octet-stream"]),
                                 ("multipart/alternative", ["text/plain", "multipart/related"]),
                                 ("multipart/related", ["text/html", "image/png"])])
        alternative, attachment = m.iter_parts()
        self.assertEqual((attachment.get_filename(), attachment.get_content()), ("data.csv", b"a,b\r\n"))
        text, related = alternative.iter_parts()
        self.assertEqual(text.get_content_charset(), "iso-2022-jp")
        self.assertEqual(text.get_content().split("\r\n"),
                         ["data.csv", "-----", "", "夜間報告 表ソ能", "", "売上&在庫", "竹|", "",
                          "詳細 (https://example.jp/r)"])
        html, image = related.iter_parts()
        page = html.get_content()
        self.assertIn('charset=utf-8">', page)
        self.assertIn("<h1>夜間報告 表ソ能</h1>", page)
        # Both references name the one image part; the others stay as written.
        cids = re.findall(r'src="cid:([^"]+)"', page)
        self.assertEqual(cids, [image["Content-ID"].strip("<>")] * 2)
        self.assertIn('src="http://example.jp/logo.png"><img src="../secret.png">', page)
        self.assertEqual(image.get_content(), self.CHART)
        self.assertEqual((image.get_content_disposition(), image.get_filename()), ("inline", "売上.png"))
        view = readers.mutt_view(self.write("delivered.eml", s.message))
        self.assertIn("夜間報告 表ソ能", view)

    def test_missing_image_stops_the_run_naming_it(self):
        self.write("r.html", b'<p>x</p><img src="charts/gone.png">')
        self.write_command([f"#HOS={addr(233)}", "#TO=to@example.jp", "#HTM=r.html", "", "本文"])
        res = self.run_tolvex()
        self.assertEqual(res.returncode, 66, res.stderr)
        self.assertIn(b'"charts/gone.png"', res.stderr)
        self.assertFalse(self.exists("TEMP.TXT"))


if __name__ == "__main__":
    unittest.main()
