#!/usr/bin/env python3
"""End-to-end runs of tolvex.exe under Wine against a scripted SMTP server
on 127.0.0.100-130 port 25: messages byte for byte on the wire, LOG.txt,
the work files, exit codes, failure boxes and the main window's states.
The submission cases of e2e/test_submission.py and the --probe cases of
e2e/test_probe.py run here too, on 127.0.0.160-168 and 169-172.

Run by tools/test-win.sh with the Wine prefix and locale already set up:
  e2e_win.py --exe tolvex.exe --wintool wintool.exe [--tray]
--tray adds the notification-area tests, which need an X server (Xvfb).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import reference as ref  # noqa: E402
from harness import CRLF, E2ETest, Script, ScriptedSmtpServer, addr, sjis  # noqa: E402
from test_probe import ProbeCases  # noqa: E402
from test_submission import ScriptedTlsCases, SubmissionCases  # noqa: E402

EXE = WINTOOL = None
TRAY = False
EX_NOINPUT, EX_UNAVAILABLE = 66, 69


def wine_cmd(args, limit):
    return ["timeout", "-k", "5", str(limit), "wine", *args]


def wintool(*args, limit=60):
    return subprocess.run(wine_cmd([WINTOOL, *map(str, args)], limit), capture_output=True,
                          stdin=subprocess.DEVNULL)


class WinRun(E2ETest):
    """The Linux harness, with tolvex.exe started under Wine."""

    # The Japanese locale's short date and time: 2026/12/7 4:49:21.
    log_date = rb"(\d{4})/(\d{1,2})/(\d{1,2}) (\d{1,2}):(\d{2}):(\d{2})"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tolvex-win-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.started = time.time()

    def run_tolvex(self, limit=90):
        return subprocess.run(wine_cmd([EXE], limit), cwd=self.dir, capture_output=True,
                              stdin=subprocess.DEVNULL)

    def spawn(self, limit=120):
        p = subprocess.Popen(wine_cmd([EXE], limit), cwd=self.dir, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(_reap, p)
        return p

    def main_window_state(self):
        res = wintool("state", 30)
        self.assertEqual(res.returncode, 0, res)
        return dict(kv.split("=", 1) for kv in res.stdout.decode().split())


def _reap(p):
    if p.poll() is None:
        p.kill()
    try:
        p.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        # A Windows process that outlived its loader still holds the pipes:
        # end it so the next test starts clean.
        subprocess.run(wine_cmd(["taskkill", "/f", "/im", os.path.basename(EXE)], 30),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            p.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            pass


class UnattendedRun(WinRun):
    """Runs tolvex.exe as a scheduler would, closing every failure box it
    shows so a failed run ends at once. The boxes' texts are added to
    standard error, where the output checks see them."""

    def run_tolvex(self, args=(), limit=90):
        p = subprocess.Popen(wine_cmd([EXE, *args], limit), cwd=self.dir, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(_reap, p)
        boxes = []

        def close_boxes():
            while p.poll() is None:
                box = wintool("box", 1, limit=20)
                if box.returncode == 0:
                    boxes.append(box.stdout)

        closer = threading.Thread(target=close_boxes)
        closer.start()
        out, err = p.communicate(timeout=limit + 30)
        closer.join(60)
        return subprocess.CompletedProcess(p.args, p.returncode, out, err + b"".join(boxes))


class WinSubmission(SubmissionCases, UnattendedRun):
    FIRST = 160


class WinScriptedTls(ScriptedTlsCases, UnattendedRun):
    FIRST = 160


class WinProbe(ProbeCases, UnattendedRun):
    FIRST = 168

    def run_probe(self):
        return self.run_tolvex(["--probe"])


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
        self.assertEqual(s.commands, [b"HELO tolvex.test\r\n", b"MAIL FROM:sender@example.jp\r\n",
                                      b"RCPT TO:alice@example.jp\r\n", b"RCPT TO:bob@example.jp\r\n",
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
        self.assertIn(b'name="\x95\x5c\x83\x5c.txt"\r\n', s.message)

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


class Failures(WinRun):
    def test_greeting_554_logs_120_and_ends_69_with_a_box(self):
        greeting = b"554 5.7.1 no service for you\r\n"
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(110)}", "#TO=a@example.jp", "", "x"])
        with ScriptedSmtpServer(addr(110), Script(greeting=greeting)) as server:
            p = self.spawn()
            box = wintool("box", 60, limit=80)
            out, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, EX_UNAVAILABLE, err)
        self.assertEqual(server.sessions[0].commands, [])
        self.assert_one_record(120, greeting)
        self.assert_clean_end()
        self.assertEqual(box.returncode, 0, "no failure box")
        text = box.stdout.decode("utf-8")
        self.assertIn("メールを送信できませんでした", text)
        self.assertIn("delivery failed in state 120: 554 5.7.1 no service for you", text)
        line = err.decode("cp932")
        self.assertIn("120", line)
        self.assertIn("554", line)

    def test_box_cut_short_by_the_end_is_shown_again(self):
        # A repeating run: the failed delivery's box is up when the user
        # closes the window; the box comes back after the loop has ended.
        greeting = b"421 4.3.2 shutting down\r\n"
        self.write_command([f"#HOS={addr(112)}", "#TO=a@example.jp", "#MOR=2", "#TER=5", "", "x"])
        with ScriptedSmtpServer(addr(112), Script(greeting=greeting)):
            p = self.spawn()
            first = wintool("boxtext", 60, limit=80)
            self.assertEqual(first.returncode, 0, "no failure box")
            self.assertIsNone(p.poll())  # the run goes on under the box
            self.assertEqual(wintool("close", 30).returncode, 0)
            again = wintool("box", 60, limit=80)
            _, err = p.communicate(timeout=60)
        self.assertEqual(again.returncode, 0, "box not shown again")
        self.assertEqual(again.stdout, first.stdout)
        self.assertIn("delivery failed in state 120: 421", again.stdout.decode("utf-8"))
        self.assertEqual(p.returncode, EX_UNAVAILABLE, err)
        self.assert_one_record(120, greeting)
        self.assert_clean_end()

    def test_missing_command_file_ends_66_and_names_it(self):
        p = self.spawn()
        box = wintool("box", 60, limit=80)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, EX_NOINPUT, err)
        self.assertEqual(box.returncode, 0, "no failure box")
        self.assertIn("command.txt", box.stdout.decode("utf-8"))
        self.assertIn("command.txt", err.decode("cp932"))
        self.assertEqual(os.listdir(self.dir), [])

    def test_refused_repeat_keeps_running_until_closed(self):
        # Nothing listens: the connect fails without an event, the session
        # waits in 110; closing the window during it is an interruption.
        self.write_command([f"#HOS={addr(111)}", "#TO=a@example.jp", "#MOR=3", "#TER=5", "", "x"])
        p = self.spawn()
        state = self.main_window_state()
        self.assertEqual(state["caption"], "Tolvex(送信中)")
        self.assertEqual(wintool("close", 30).returncode, 0)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 130, err)
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()


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


def main():
    global EXE, WINTOOL, TRAY
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--wintool", required=True)
    ap.add_argument("--tray", action="store_true")
    ap.add_argument("tests", nargs="*")
    args = ap.parse_args()
    EXE, WINTOOL, TRAY = os.path.abspath(args.exe), os.path.abspath(args.wintool), args.tray
    # A first Wine process brings up the prefix's desktop and services;
    # programs started side by side before that wait on each other. Its
    # output is not a pipe: those processes outlive it and inherit it.
    subprocess.run(wine_cmd([WINTOOL, "warmup", "0"], 120), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    loader = unittest.TestLoader()
    if args.tests:
        suite = loader.loadTestsFromNames(args.tests, sys.modules[__name__])
    elif TRAY:
        suite = loader.loadTestsFromTestCase(TrayIcon)
    else:
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c)
                                   for c in (Messages, Failures, WindowStates, WinSubmission,
                                             WinScriptedTls, WinProbe))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    print(f"RESULT passed={result.testsRun - failed} failed={failed}")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
