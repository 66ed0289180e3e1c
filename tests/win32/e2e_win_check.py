"""tolvex.exe's command line under Wine: --help, --version, an unknown
argument, and --check (read and compose, print, send nothing), also of
files whose paths pass MAX_PATH. Standard output of a windowed program that
is redirected carries the console code page, 932 here. Address 127.0.0.134
(a server that must see nothing)."""

import os
import subprocess

import winrun
from winrun import WinRun, wine_cmd

import reference as ref  # noqa: E402
from harness import CRLF, addr, command_file, sjis  # noqa: E402


class CommandLine(WinRun):
    def run_args(self, *args, limit=60):
        return subprocess.run(wine_cmd([winrun.EXE, *args], limit), cwd=self.dir,
                              capture_output=True, stdin=subprocess.DEVNULL)

    def test_help_version_and_a_bad_argument(self):
        res = self.run_args("--help")
        self.assertEqual(res.returncode, 0)
        self.assertIn(b"tolvex.exe --check [--raw]", res.stdout)
        res = self.run_args("--version")
        self.assertEqual(res.returncode, 0)
        self.assertRegex(res.stdout, rb"^tolvex\.exe \d+\.\d+\.\d+\r\ncommit:   .+\r\n"
                                     rb"built:    \d{4}-\d\d-\d\d\r\ncompiler: GCC .+\(MinGW-w64 .+\r\n"
                                     rb"TLS:      SChannel \(Windows \d+\.\d+\.\d+\)\r\n"
                                     rb"HTTPS:    WinHTTP \(Windows \d+\.\d+\.\d+\)\r\n$")
        res = self.run_args("/x")
        self.assertEqual(res.returncode, 64)
        self.assertIn(b"unknown argument '/x'", res.stderr)

    def test_check_shows_the_message_and_sends_nothing(self):
        self.write("表.csv", b"1,2\r\n")
        self.write_command([f"#HOS={addr(134)}", "#FRO=送信係 <s@example.jp>", "#TO=t@example.jp",
                            "#SUB=件名です", "#ATT=表.csv", "#DEL", "", "本文"])
        with self.serve(134) as server:
            res = self.run_args("--check")
        self.assertEqual(server.sessions, [])
        self.assertEqual(res.returncode, 0, res.stderr)
        out = res.stdout.decode("cp932")
        self.assertIn(f"Server:   {addr(134)}, port 25\r\n", out)
        self.assertIn("Subject: 件名です\r\n", out)
        self.assertIn("From: 送信係 <s@example.jp>\r\n", out)
        self.assertIn("\r\nAttachments:\r\n  表.csv  5 bytes\r\n", out)
        self.assertTrue(self.exists("command.txt"))
        self.assertFalse(self.exists("TEMP.TXT"))
        self.assertFalse(self.exists("LOG.txt"))

    def test_check_of_files_past_max_path(self):
        # The manifest declares longPathAware. The job folder is as deep as
        # Wine lets a program start in (a current directory of at most 258
        # characters, the system's own limit without long paths), so
        # command.txt's full path passes 260 characters, and the attachment
        # it names lies deeper, past 300. The names hold code page 932
        # characters with a 0x5C trail byte (表, ソ, 能).
        def windows(path):
            return "Z:" + path.replace("/", "\\")

        deep = self.dir
        while len(windows(os.path.join(deep, "表示能力ソフト長い名前のフォルダー"))) <= 255:
            deep = os.path.join(deep, "表示能力ソフト長い名前のフォルダー")
        deep = os.path.join(deep, "x" * (258 - len(windows(deep)) - 1))
        nested = "\\".join(["資料"] + ["表示能力ソフトの添付ファイル置き場"] * 3)
        attachment = os.path.join(deep, nested.replace("\\", "/"), "表.csv")
        self.assertEqual(len(windows(deep)), 258)
        self.assertGreater(len(windows(os.path.join(deep, "command.txt"))), 260)
        self.assertGreater(len(windows(attachment)), 300)
        os.makedirs(os.path.dirname(attachment))
        with open(attachment, "wb") as f:
            f.write(b"1,2\r\n")
        with open(os.path.join(deep, "command.txt"), "wb") as f:
            f.write(command_file([f"#HOS={addr(134)}", "#TO=t@example.jp", "#SUB=深い場所",
                                  f"#ATT={nested}\\表.csv", "", "本文"]))
        res = subprocess.run(wine_cmd([winrun.EXE, "--check"], 60), cwd=deep,
                             capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(res.returncode, 0, res.stderr.decode("cp932", "replace"))
        out = res.stdout.decode("cp932")
        self.assertIn("Subject: 深い場所\r\n", out)
        self.assertIn("\r\nAttachments:\r\n  表.csv  5 bytes\r\n", out)
        self.assertFalse(os.path.exists(os.path.join(deep, "TEMP.TXT")))

    def test_check_raw_gives_the_exact_bytes(self):
        self.write_command([f"#HOS={addr(134)}", "#TO=t@example.jp", "#SUB=件名", "", "本文"])
        res = self.run_args("--check", "--raw")
        self.assertEqual(res.returncode, 0, res.stderr)
        acc = CRLF + sjis("本文") + CRLF
        expected = ref.plain_message(acc, b"DummySender", b"t@example.jp", subject=sjis("件名"))
        self.assertEqual(res.stdout, ref.stamped(expected, ref.stamp_of(res.stdout)))

    def test_check_of_an_unusable_file_gives_65(self):
        self.write_command(["#MOR=many", "", "x"])
        res = self.run_args("--check")
        self.assertEqual(res.returncode, 65)
        self.assertIn("#MOR".encode(), res.stderr)
