#!/usr/bin/env python3
"""End-to-end runs of tolvex.exe under Wine against a scripted SMTP server
on 127.0.0.100-130, 38 and 39 port 25: messages byte for byte on the wire, LOG.txt,
the work files, exit codes and the main window's states; the failures are
in e2e_win_failures.py, devices and hostile servers in e2e_win_hostile.py
(231-235), the submission and --probe cases and the Exim and OpenSMTPD
peers in e2e_win_submission.py.

Run by tools/test-win.sh with the Wine prefix and locale already set up:
  e2e_win.py --exe tolvex.exe --wintool wintool.exe [--tray]
--tray runs the notification-area tests instead, which need an X server
(Xvfb).
"""

import argparse
import email
import email.policy
import subprocess
import sys
import time
import unittest

import winrun
from winrun import WinRun, wine_cmd, wintool

import reference as ref  # noqa: E402  (the Linux harness, on the path winrun sets)
from harness import CRLF, addr, sjis  # noqa: E402
import e2e_win_failures as failures  # noqa: E402
import e2e_win_hostile as hostile  # noqa: E402
import e2e_win_spool as spool  # noqa: E402
import e2e_win_check as check  # noqa: E402
import e2e_win_submission as submission  # noqa: E402
import e2e_win_retry as retry  # noqa: E402


class Delivery(WinRun):
    def deliver(self, server):
        with server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(server.errors, [])
        self.assertEqual(len(server.sessions), 1)
        session = server.sessions[0]
        self.assertTrue(session.complete, "message terminator never arrived")
        self.assert_one_record(0, b"")
        self.assert_clean_end()
        return session

    def assert_message(self, session, expected):
        expected = ref.stamped(expected, ref.stamp_of(session.message))
        self.assertEqual(session.message + b".\r\n", expected)
        self.assertEqual(session.data, ref.dot_stuff(expected))
        self.assertEqual(self.spool, [expected + CRLF])


class Messages(Delivery):
    def test_plain_japanese_message(self):
        body = ["本文の一行目です。", "能力 十 竹|bar \\ back", ".", "..two", "最後の行 "]
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(100)}",
                            "#FRO=送信者 <sender@example.jp>", "#TO=alice@example.jp, bob@example.jp",
                            "#SUB=試験の件名 表示とソフト", "#REP=reply@example.jp", ""] + body)
        s = self.deliver(self.serve(100))
        self.assertEqual(s.commands, [b"HELO tolvex.test\r\n", b"MAIL FROM:<sender@example.jp>\r\n",
                                      b"RCPT TO:<alice@example.jp>\r\n", b"RCPT TO:<bob@example.jp>\r\n",
                                      b"DATA\r\n", b"QUIT\r\n"])
        acc = CRLF + b"".join(sjis(l) + CRLF for l in body)
        expected = ref.plain_message(acc, sjis("送信者 <sender@example.jp>"),
                                     b"alice@example.jp, bob@example.jp",
                                     subject=sjis("試験の件名 表示とソフト"),
                                     reply_to=b"reply@example.jp")
        self.assert_message(s, expected)
        self.assertIn(b"\r\n..\r\n...two\r\n", s.data)
        self.assertTrue(self.exists("command.txt"), "command.txt removed without #DEL")

    def test_text_file_with_japanese_name_and_del(self):
        text = sjis("報告の本文\r\n") + b"no break"
        self.write("表示.txt", text)  # 表 is 95 5C: no folder separator
        self.write_command(["#DEL", f"#HOS={addr(101)}", "#LOC=h", "#TEX=表示.txt",
                            "mailbob@example.jp", "前書き"])
        s = self.deliver(self.serve(101))
        acc = sjis("表示.txt") + b"\r\n-----\r\n" + sjis("前書き") + CRLF
        self.assert_message(s, ref.plain_message(acc, b"DummySender", b"bob@example.jp",
                                                 text_file=text))
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")

    def test_attachments_from_a_japanese_folder(self):
        data = bytes(range(256)) * 40 + b"x"
        text = sjis("表とソの資料\r\n")
        self.write("data.bin", data)
        self.write("資料/表ソ.txt", text)  # "資料\表ソ.txt" in the command file
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(102)}", "#FRO=from@example.jp",
                            "#TO=to@example.jp", "#SUB=添付ファイルの送付",
                            "#ATT=data.bin, 資料\\表ソ.txt", "", "本文です。"])
        s = self.deliver(self.serve(102))
        acc = sjis("data.bin, 資料\\表ソ.txt") + b"\r\n-----\r\n" + CRLF + sjis("本文です。") + CRLF
        expected = ref.attachment_message(
            acc, [(b"data.bin", data), (sjis("表ソ.txt"), text)], b"from@example.jp",
            b"to@example.jp", subject=sjis("添付ファイルの送付"))
        self.assert_message(s, expected)
        self.assertIn(b'Content-Type: application/octet-stream;\r\n'
                      b' name="=?ISO-2022-JP?B?GyRCST0lPRsoSi50eHQ=?="\r\n'
                      b"Content-Disposition: attachment; filename*=UTF-8''%E8%A1%A8%E3%82%BD.txt\r\n",
                      s.message)

    def test_japanese_attachment_pattern(self):
        # 127.0.0.196. "?" is one Japanese character, ASCII case is ignored as
        # the file system ignores it, and the matches go out sorted.
        self.write("日報/報告表.pdf", b"%PDF hyo")
        self.write("日報/報告書.PDF", b"%PDF sho")
        self.write("日報/報告12.pdf", b"two characters")
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(196)}", "#TO=a@example.jp",
                            "#ATT=日報\\報告?.pdf", "", "本文"])
        s = self.deliver(self.serve(196))
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual([(a.get_filename(), a.get_content()) for a in m.iter_attachments()],
                         [("報告書.PDF", b"%PDF sho"), ("報告表.pdf", b"%PDF hyo")])

    def test_html_report_with_a_chart(self):
        # 127.0.0.237. The HTML in a Japanese folder named with "\\", its chart
        # below it named with "/", sent inline once though shown twice.
        chart = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8
        self.write("報告/夜間.html", sjis('<meta charset="Shift_JIS"><h1>表ソ能</h1>'
                                          '<img src="図/売上.png"><img src="図/売上.png">'))
        self.write("報告/図/売上.png", chart)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(237)}", "#TO=a@example.jp",
                            "#HTM=報告\\夜間.html", ""])
        s = self.deliver(self.serve(237))
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        text, related = m.iter_parts()
        html, image = related.iter_parts()
        self.assertEqual(text.get_content().strip(), "表ソ能")
        self.assertEqual(html.get_content().count(f'src="cid:{image["Content-ID"].strip("<>")}"'), 2)
        self.assertIn('<meta charset="utf-8">', html.get_content())
        self.assertEqual((image.get_content_type(), image.get_filename(), image.get_content()),
                         ("image/png", "売上.png", chart))

    def test_slash_paths_and_quoted_names(self):
        # "/" separates folders on Windows too: the attachment is named by
        # the last component. A "," or "<" inside a quoted name is name text,
        # so the envelope carries the mailbox the head shows. 127.0.0.39.
        pdf, blob = b"%PDF-1.4\n" * 20, bytes(range(40))
        self.write("資料/報告書.pdf", pdf)
        self.write("表ソ/能.bin", blob)
        sender, to = '"Evil <boss@corp.example>" <t@x.jp>', '"Suzuki, Ichiro" <s@x.jp>, b@x.jp'
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(39)}", f"#FRO={sender}", f"#TO={to}",
                            "#ATT=資料/報告書.pdf,表ソ/能.bin", "", "本文"])
        s = self.deliver(self.serve(39))
        self.assertEqual(s.commands[1:4], [b"MAIL FROM:<t@x.jp>\r\n", b"RCPT TO:<s@x.jp>\r\n",
                                           b"RCPT TO:<b@x.jp>\r\n"])
        acc = sjis("資料/報告書.pdf,表ソ/能.bin") + b"\r\n-----\r\n" + CRLF + sjis("本文") + CRLF
        expected = ref.attachment_message(acc, [(sjis("報告書.pdf"), pdf), (sjis("能.bin"), blob)],
                                          sender.encode(), to.encode())
        self.assert_message(s, expected)

    def test_japanese_names_and_vendor_characters(self):
        # 髙 (IBM FBFC), ① and ㈱ (NEC row 13) in the names, the subject, the
        # body and the attachment name, whose UTF-8 comes from Windows' own
        # code page 932 table.
        blob = bytes(range(100))
        self.write("髙橋①㈱.csv", blob)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(104)}", "#FRO=髙橋 <takahashi@example.jp>",
                            "#TO=山田 太郎 <yamada@x.jp>,bob@x.jp", "#REP=㈱ソフト 表 <desk@x.jp>",
                            "#SUB=髙橋①㈱の表", "#ATT=髙橋①㈱.csv", "", "髙橋です。①㈱"])
        s = self.deliver(self.serve(104))
        self.assertEqual(s.commands[1:4], [b"MAIL FROM:<takahashi@example.jp>\r\n",
                                           b"RCPT TO:<yamada@x.jp>\r\n", b"RCPT TO:<bob@x.jp>\r\n"])
        acc = sjis("髙橋①㈱.csv") + b"\r\n-----\r\n" + CRLF + sjis("髙橋です。①㈱") + CRLF
        expected = ref.attachment_message(
            acc, [(sjis("髙橋①㈱.csv"), blob)], sjis("髙橋 <takahashi@example.jp>"),
            sjis("山田 太郎 <yamada@x.jp>,bob@x.jp"), subject=sjis("髙橋①㈱の表"),
            reply_to=sjis("㈱ソフト 表 <desk@x.jp>"))
        self.assert_message(s, expected)
        self.assertIn(b"filename*=UTF-8''%E9%AB%99%E6%A9%8B%E2%91%A0%E3%88%B1.csv\r\n", s.message)

    def test_parts_from_files(self):
        part1 = (b"Content-Type: text/plain; charset=iso-2022-jp\r\n"
                 b"Content-Transfer-Encoding: 7bit\r\n\r\n" + ref.sjis_to_jis(sjis("第一部")) + CRLF)
        part2 = b"Content-Type: text/plain\r\n\r\n.hidden\r\nend\r\n"
        self.write("部品1.txt", part1)
        self.write("p2.txt", part2)
        self.write_command([f"#HOS={addr(103)}", "#TO=to@example.jp", "#SUB=部品",
                            "#MUL=部品1.txt,p2.txt", "", "ignored body"])
        s = self.deliver(self.serve(103))
        expected = ref.parts_message([part1, part2], b"DummySender", b"to@example.jp",
                                     subject=sjis("部品"))
        self.assert_message(s, expected)
        self.assertIn(b"\r\n..hidden\r\n", s.data)


class UnicodeCommandFile(Delivery):
    def test_utf8_command_file_names_a_file_without_a_code_page_932_name(self):
        name = "𠮷野😀.bin"  # opened by its Unicode name through the wide API
        self.write(name, b"\x00\x01 data")
        lines = [f"#HOS={addr(105)}", "#TO=𠮷野 <k@example.jp>", "#SUB=絵文字 😀", f"#ATT={name}",
                 "", "本文 😀 𠮷"]
        self.write("command.txt", "\r\n".join(lines).encode() + CRLF)
        s = self.deliver(self.serve(105))
        self.assertTrue(all(b < 0x80 for b in s.message), "a byte of 0x80 or more")
        m = email.message_from_bytes(s.message, policy=email.policy.default)
        self.assertEqual(str(m["Subject"]), "絵文字 😀")
        self.assertEqual(m["To"].addresses[0].display_name, "𠮷野")
        text, attachment = list(m.iter_parts())
        self.assertEqual(text.get_content(), f"{name}\r\n-----\r\n\r\n本文 😀 𠮷\r\n")
        self.assertEqual(attachment.get_filename(), name)
        self.assertEqual(attachment.get_content(), b"\x00\x01 data")

    def test_utf16_command_file_that_fits_gives_the_shift_jis_message(self):
        lines = [f"#HOS={addr(106)}", "#TO=鈴木 <s@example.jp>", "#SUB=表ソ能の件", "", "本文です。"]
        self.write("command.txt", "\r\n".join(lines).encode("utf-16"))
        s = self.deliver(self.serve(106))
        self.assert_message(s, ref.plain_message(CRLF + sjis("本文です。") + CRLF, b"DummySender",
                                                 sjis("鈴木 <s@example.jp>"),
                                                 subject=sjis("表ソ能の件")))


    def test_belied_bom_stops_at_start_up_and_damaged_utf8_is_noticed(self):
        # Windows reads the files by the same rule and says so on its
        # standard error (in the console's code page).
        self.write("報告ソ.txt", b"\xff\xfe" + "一行目\n二行目".encode("utf-16-le") + b"\x3d\xd8")
        self.write_command([f"#HOS={addr(38)}", "#TO=a@example.jp", "#DEL", "#TEX=報告ソ.txt", "",
                            "x"])
        with self.serve(38) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 65, res.stderr)
        self.assertIn('text file "報告ソ.txt" line 2: a lone UTF-16 surrogate 0xD83D',
                      res.stderr.decode("cp932"))
        self.assertEqual(server.sessions, [])
        self.assertTrue(self.exists("command.txt"))
        self.write("command.txt", f"#HOS={addr(38)}\r\n#TO=a@example.jp\r\n\r\n".encode()
                   + "日本語の本文です。よろしく。".encode() + b"\xff\r\n")
        with self.serve(38) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn(b"command.txt is probably damaged UTF-8 (line 4: byte 0xFF is no UTF-8); "
                      b"it is read as Shift_JIS", res.stderr)
        self.assertEqual([s.complete for s in server.sessions], [True])


class WindowStates(WinRun):
    def waiting_command(self, n, *extra):
        return [*extra, f"#HOS={addr(n)}", "#TO=a@example.jp", "#WAI=30", "", "x"]

    def test_default_window_is_shown_with_its_caption_and_no_button(self):
        self.write_command(self.waiting_command(120))
        p = self.spawn()
        state = self.main_window_state()
        self.assertEqual(state, {"visible": "1", "iconic": "0", "button": "0", "caption": "Tolvex"})
        self.assertEqual(wintool("debugclick", 30).returncode, 0)
        box = wintool("box", 30)
        self.assertEqual((box.returncode, box.stdout.decode("utf-8").strip()),
                         (0, "デバッグボタンが押されました"))
        self.assertEqual(wintool("close", 30).returncode, 0)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, err)
        self.assertTrue(self.exists("command.txt"))
        self.assert_clean_end()

    def test_icon_mode_is_minimized_and_closing_cleans_up(self):
        self.write_command(self.waiting_command(121, "#FOR=icon", "#DEL"))
        p = self.spawn()
        state = self.main_window_state()
        self.assertEqual((state["visible"], state["iconic"]), ("1", "1"))
        self.assertEqual(wintool("close", 30).returncode, 0)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, err)
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")
        self.assert_clean_end()

    def test_tray_mode_menu_exit_from_the_notification(self):
        # The shell's notifications, sent as the shell sends them: the right
        # button does nothing, the left one opens the menu, X chooses 終了.
        self.write_command(self.waiting_command(122, "#FOR=tray", "#DEL"))
        p = self.spawn()
        self.assertEqual(self.main_window_state()["visible"], "0")
        self.assertEqual(wintool("notify", 30, 0x205).returncode, 0)
        self.assertEqual(wintool("nomenu", 2).returncode, 0, "right click opened the menu")
        self.assertEqual(wintool("notify", 30, 0x202).returncode, 0)
        self.assertEqual(wintool("menu", 20, "x").returncode, 0, "left click opened no menu")
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, err)
        self.assertFalse(self.exists("command.txt"))
        self.assert_clean_end()


class TrayIcon(WinRun):
    """Real clicks on the notification-area icon (needs an X server)."""

    def find_icon(self):
        """Centre of the first icon: Wine shows the icons in a tray window
        of its own (caption, then one row of icons) when the desktop has no
        notification area."""
        deadline = time.time() + 30
        while time.time() < deadline:
            res = subprocess.run(["xdotool", "search", "--name", "Wine System Tray"],
                                 capture_output=True)
            ids = res.stdout.split()
            if ids:
                geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", ids[0]],
                                     capture_output=True).stdout.decode()
                g = dict(l.split("=", 1) for l in geo.split())
                x, y, h = int(g["X"]), int(g["Y"]), int(g["HEIGHT"])
                return x + 12, y + h - 13
            time.sleep(0.2)
        self.fail("no tray window")

    def click(self, x, y, button):
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button)],
                       check=True)

    def test_left_click_opens_the_menu_and_exit_ends_the_program(self):
        self.write_command([f"#HOS={addr(125)}", "#TO=a@example.jp", "#WAI=30", "#FOR=tray",
                            "#DEL", "", "x"])
        p = self.spawn()
        cx, cy = self.find_icon()
        self.click(cx, cy, 3)
        self.assertEqual(wintool("nomenu", 2).returncode, 0, "right click opened the menu")
        self.assertIsNone(p.poll())
        self.click(cx, cy, 1)
        self.assertEqual(wintool("menu", 20).returncode, 0, "left click opened no menu")
        # A click elsewhere closes the menu and the program goes on.
        self.click(600, 500, 1)
        self.assertEqual(wintool("menugone", 10).returncode, 0, "menu stayed open")
        self.assertIsNone(p.poll())
        self.click(cx, cy, 1)
        self.assertEqual(wintool("menu", 20).returncode, 0, "second left click opened no menu")
        # The one item sits at the top of the menu, at the pointer.
        subprocess.run(["xdotool", "mousemove_relative", "--sync", "10", "8", "click", "1"],
                       check=True)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, err)
        self.assertFalse(self.exists("command.txt"))
        self.assert_clean_end()


# The classes without a display, in groups of about equal length that
# tools/test-win.sh runs side by side, each in a network namespace of its
# own; the real servers' cases stay in one group.
GROUPS = [
    [submission.WinSubmission, submission.WinScriptedTls, submission.WinProbe,
     submission.WinServerEdges, submission.WinProbeClose, submission.WinOAuth,
     submission.WinApi, submission.WinDovecotOAuth, submission.WinStrictServers, submission.WinDsn,
     submission.WinIntl],
    [Messages, UnicodeCommandFile, failures.Failures, failures.TrayBalloon, WindowStates,
     check.CommandLine, spool.Spool, hostile.NotFiles, hostile.HostileServer,
     retry.WinTokenRequest, submission.WinServiceAccount, failures.WinEvents],
    [hostile.SlowHostile],
    [retry.WinRetry, submission.WinProxy, submission.WinFailover, submission.WinQueue],
]


class ClassTimes(unittest.TextTestResult):
    """Keeps how long each test class took, to balance GROUPS."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.class_times = {}
        self._started = 0.0

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        name = type(test).__name__
        self.class_times[name] = self.class_times.get(name, 0.0) + time.monotonic() - self._started


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--wintool", required=True)
    ap.add_argument("--tray", action="store_true")
    ap.add_argument("--group", type=int, help=f"run only group 0-{len(GROUPS) - 1} of the classes")
    ap.add_argument("tests", nargs="*")
    args = ap.parse_args()
    winrun.configure(args.exe, args.wintool)
    # A first Wine process brings up the prefix's desktop and services;
    # programs started side by side before that wait on each other. Its
    # output is not a pipe: those processes outlive it and inherit it.
    subprocess.run(wine_cmd([winrun.WINTOOL, "warmup", "0"], 120), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    loader = unittest.TestLoader()
    if args.tests:
        suite = loader.loadTestsFromNames(args.tests, sys.modules[__name__])
    elif args.tray:
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c)
                                   for c in (TrayIcon, failures.TrayFailureOnScreen))
    else:
        groups = GROUPS if args.group is None else [GROUPS[args.group]]
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for g in groups for c in g)
    result = unittest.TextTestRunner(verbosity=2, resultclass=ClassTimes).run(suite)
    for name, took in result.class_times.items():
        print(f"class {name}: {took:.0f} s")
    for test, what, took in winrun.timings:
        print(f"ended {took:.2f} s after the {what}: {test}")
    # A failing subtest is reported on its own; count each test once.
    failed = len({getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors})
    print(f"RESULT passed={result.testsRun - failed} failed={failed}")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
