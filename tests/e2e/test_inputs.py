"""Work-folder inputs that are not plain files: a FIFO nobody writes, links
to /dev/zero and /dev/urandom, a directory, a symbolic-link loop, each
named as command.txt, as the #TEX file, as a `cat ` file, as an attachment
and as a part file. Each run ends at once with exit 66 and one line naming
the file; nothing is sent or logged. And files that change size while an
attachment is composed from them."""

import base64
import os
import threading
import time
import unittest

from harness import CRLF, E2ETest, ScriptedSmtpServer, addr, command_file

EX_NOINPUT = 66
# "Within a second or two": a run that waited on one of these files would
# hang for good, so any bound of seconds tells the two apart.
AT_ONCE = 2.0
MIB = 1 << 20


def make_fifo(path):
    os.mkfifo(path)


def link_to(target):
    return lambda path: os.symlink(target, path)


def make_loop(path):
    # name -> name.b -> name
    os.symlink(os.path.basename(path) + ".b", path)
    os.symlink(os.path.basename(path), path + ".b")


# (what, on-disk name, how to make it, word the reason holds). The names
# hold 表, ソ and 能, whose second byte is 5C.
KINDS = [
    ("fifo", "表の管.txt", make_fifo, "FIFO"),
    ("/dev/zero", "ゼロ能.bin", link_to("/dev/zero"), "device"),
    ("/dev/urandom", "乱数ソ.bin", link_to("/dev/urandom"), "device"),
    ("directory", "資料表", os.mkdir, "directory"),
    ("symlink loop", "輪ソ.lnk", make_loop, "symbolic links"),
]

# (role, address, command-file lines naming NAME). The start-up roles keep
# command.txt even under #DEL.
ROLES = [
    ("#TEX file", 213, ["#DEL", "#TEX=NAME", "#TO=a@example.jp", "", "x"]),
    ("cat file", 214, ["#DEL", "cat NAME |mail a@example.jp", "x"]),
    ("attachment", 215, ["#ATT=NAME", "#TO=a@example.jp", "", "x"]),
    ("part file", 216, ["#MUL=NAME", "#TO=a@example.jp", "", "x"]),
]


class NotPlainFiles(E2ETest):
    def run_at_once(self):
        t0 = time.monotonic()
        res = self.run_tolvex(timeout=30)
        took = time.monotonic() - t0
        self.assertEqual(res.returncode, EX_NOINPUT, res.stderr)
        self.assertLess(took, AT_ONCE)
        lines = res.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertFalse(self.exists("LOG.txt"))
        self.assertFalse(self.exists("TEMP.TXT"))
        self.assertFalse(self.exists("TEMP.TXT.new"))
        return lines[0]

    def fresh(self, maker, name):
        for entry in os.listdir(self.dir):
            full = self.path(entry)
            if os.path.isdir(full) and not os.path.islink(full):
                os.rmdir(full)
            else:
                os.remove(full)
        maker(self.path(name))

    def test_named_as_command_txt(self):
        for what, _, maker, reason in KINDS:
            with self.subTest(what):
                self.fresh(maker, "command.txt")
                line = self.run_at_once()
                self.assertIn("command.txt", line)
                self.assertIn(reason, line)
                self.assertTrue(os.path.lexists(self.path("command.txt")))

    def test_named_in_the_command_file(self):
        for role, n, lines in ROLES:
            with ScriptedSmtpServer(addr(n)) as server:
                for what, name, maker, reason in KINDS:
                    with self.subTest(role=role, kind=what):
                        self.fresh(maker, name)
                        self.write_command([f"#HOS={addr(n)}"] +
                                           [l.replace("NAME", name) for l in lines])
                        line = self.run_at_once()
                        self.assertIn(f'"{name}"', line)
                        self.assertIn(reason, line)
                        self.assertTrue(self.exists("command.txt"), "command.txt removed")
                        self.assertTrue(os.path.lexists(self.path(name)))
            self.assertEqual(server.sessions, [], f"{role}: something was sent")


class ChangingSize(E2ETest):
    """An attachment is read to the size it had when it was opened."""

    SIZE = 96 * MIB

    def command(self, n):
        return [f"#HOS={addr(n)}", "#FRO=f@example.jp", "#TO=t@example.jp", "#SUB=大きな表",
                "#ATT=大表.bin", "", "本文"]

    def data(self):
        block = bytes(range(256)) * 4096  # 1 MiB
        return b"".join(block[i:] + block[:i] for i in range(self.SIZE // MIB))

    def while_composing(self, change):
        """Runs `change` once the spool being written has its first block
        (the attachment is open by then); returns the spool's size at that
        moment, checked to be well short of the whole message."""
        seen = {}

        def watch():
            new = self.path("TEMP.TXT.new")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                try:
                    size = os.stat(new).st_size
                except FileNotFoundError:
                    size = 0
                if size > 0:
                    change()
                    seen["spool"] = os.stat(new).st_size
                    return
                time.sleep(0.001)

        watcher = threading.Thread(target=watch)
        watcher.start()
        return watcher, seen

    def test_growing_attachment_is_sent_at_its_size_at_the_start(self):
        data = self.data()
        self.write("大表.bin", data)
        self.write_command(self.command(217))

        def grow():
            with open(self.path("大表.bin"), "ab") as f:
                f.write(b"\xee" * MIB)

        server = self.serve(217)
        with server:
            watcher, seen = self.while_composing(grow)
            res = self.run_tolvex(timeout=120)
            watcher.join()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn("spool", seen, "the spool file was never seen being written")
        self.assertLess(seen["spool"], self.SIZE, "the file grew only after it was read")
        self.assertEqual(os.path.getsize(self.path("大表.bin")), self.SIZE + MIB)
        # The attachment's Base64 text, from its part's head to the closing
        # delimiter (the reference encoder is too slow for 96 MiB).
        message = server.sessions[0].message
        start = message.index(b"Content-Transfer-Encoding: base64\r\n\r\n") + 37
        end = message.index(b"\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n", start)
        sent = base64.b64decode(message[start:end].replace(CRLF, b""), validate=True)
        self.assertEqual(len(sent), self.SIZE)
        self.assertTrue(sent == data, "attachment differs")
        self.assert_one_record(0, b"")
        self.assert_clean_end()

    def test_shrinking_attachment_is_reported_and_nothing_goes_out(self):
        self.write("大表.bin", self.data())
        self.write_command(self.command(218))

        def shrink():
            os.truncate(self.path("大表.bin"), self.SIZE // 2)

        with ScriptedSmtpServer(addr(218)) as server:
            watcher, seen = self.while_composing(shrink)
            res = self.run_tolvex(timeout=120)
            watcher.join()
        self.assertEqual(res.returncode, EX_NOINPUT, res.stderr)
        self.assertIn("spool", seen, "the spool file was never seen being written")
        self.assertLess(seen["spool"], self.SIZE // 2, "the file shrank only after it was read")
        lines = res.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn('"大表.bin"', lines[0])
        self.assertIn("shorter", lines[0])
        self.assertEqual(server.sessions, [])
        self.assertFalse(self.exists("LOG.txt"))
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))


EX_DATAERR = 65
BELIE = 17  # the address of the server these runs must not reach, or reach once


def utf16(text, order="le"):
    return {"le": b"\xff\xfe", "be": b"\xfe\xff"}[order] + text.encode("utf-16-" + order)


class BelyingEncodings(E2ETest):
    """A BOM-declared or UTF-16 file that holds no such text stops the run at
    start-up (65), naming the file and its first bad line; a file without
    BOM that looks like UTF-8 with a stray byte goes out as Shift_JIS with
    a notice, and --check says the same."""

    HEAD = [f"#HOS={addr(BELIE)}", "#DEL", "#TO=a@example.jp"]

    # (what, files, the stderr line). The text file's name holds ソ (5C).
    CASES = [
        ("UTF-16 command.txt, a lone surrogate",
         {"command.txt": utf16("\r\n".join(HEAD + ["", "本文"]) + "\r\n")[:-4] + b"\x00\xd8\r\x00"},
         "command.txt line 5: a lone UTF-16 surrogate 0xD800"),
        ("UTF-16 BE command.txt, an odd byte count",
         {"command.txt": utf16("\n".join(HEAD + ["", "本文"]), "be") + b"\x00"},
         "command.txt line 5: an odd number of bytes: the last one, 0x00, is half a UTF-16 code unit"),
        ("UTF-8 BOM command.txt, a stray byte",
         {"command.txt": b"\xef\xbb\xbf" + "\r\n".join(HEAD + ["", "本文"]).encode() + b"\xff\r\n"},
         "command.txt line 5: invalid UTF-8 after the UTF-8 BOM: byte 0xFF"),
        ("#TEX file in UTF-16, a lone surrogate",
         {"command.txt": command_file(HEAD + ["#TEX=報告ソ.txt", "", "x"]),
          "報告ソ.txt": utf16("一行目\n二行目") + b"\x3d\xd8"},
         'text file "報告ソ.txt" line 2: a lone UTF-16 surrogate 0xD83D'),
        ("cat file with a UTF-8 BOM, a cut sequence",
         {"command.txt": command_file(HEAD[:2] + ["cat 報告ソ.txt |mail a@example.jp", "x"]),
          "報告ソ.txt": b"\xef\xbb\xbf" + "一行目\r\n".encode() + "二行目".encode()[:-1]},
         'text file "報告ソ.txt" line 2: invalid UTF-8 after the UTF-8 BOM: byte 0xE7'),
    ]

    def test_refused_at_start_up_naming_the_file_and_line(self):
        with ScriptedSmtpServer(addr(BELIE)) as server:
            for what, files, line in self.CASES:
                with self.subTest(what):
                    for name in os.listdir(self.dir):
                        os.remove(self.path(name))
                    for name, data in files.items():
                        self.write(name, data)
                    res = self.run_tolvex()
                    self.assertEqual(res.returncode, EX_DATAERR, res.stderr)
                    self.assertEqual(res.stderr.decode("utf-8").splitlines(), [f"tolvex: {line}"])
                    self.assertTrue(self.exists("command.txt"), "#DEL removed command.txt")
                    self.assertFalse(self.exists("LOG.txt"))
                    check = self.run_tolvex(["--check"])
                    self.assertEqual((check.returncode, check.stdout), (EX_DATAERR, b""))
                    self.assertEqual(check.stderr, res.stderr)
        self.assertEqual(server.sessions, [], "something was sent")

    def test_damaged_utf8_is_sent_as_shift_jis_with_a_notice(self):
        text = "日本語の本文です。よろしく。"
        body = text.encode() + b"\xff" + "以上".encode()
        self.write("command.txt", "\r\n".join(self.HEAD + ["", "前書き", ""]).encode() + body + CRLF)
        notice = ("command.txt is probably damaged UTF-8 (line 6: byte 0xFF is no UTF-8); "
                  "it is read as Shift_JIS")
        check = self.run_tolvex(["--check"])
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn(f"Encoding: Shift_JIS (code page 932) (command.txt)\nWarning:  {notice}\n",
                      check.stdout.decode("utf-8"))
        with self.serve(BELIE) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(res.stderr.decode("utf-8").splitlines(), [f"tolvex: {notice}"])
        self.assertEqual(len(server.sessions), 1)
        self.assertTrue(server.sessions[0].complete)
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")


if __name__ == "__main__":
    unittest.main()
