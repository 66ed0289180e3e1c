"""tolvex.exe under Wine against inputs that are not files and hostile
servers: the devices NUL and CON and a folder named as input files end the
run at once with exit 66 and one line naming the file; a greeting flood
ends it at once with 120; a close during the greeting ends it through the
two-minute time-out with 999 (the one slow Windows case, class
SlowHostile). Addresses 127.0.0.231-235. Loaded by e2e_win.py."""

import os
import subprocess
import time

from harness import CLOSE, addr
from winrun import EX_NOINPUT, EX_UNAVAILABLE, TimedServer, WinRun

INPUT = "必要なファイルを読み込めないため、処理を中止しました。"
DELIVERY = "メールを送信できませんでした。詳しくは LOG.txt をご覧ください。"


class NotFiles(WinRun):
    def run_refused(self, n, directive):
        """A run whose input is refused: exit 66 at once, one line, nothing
        sent or logged; returns the line."""
        self.write_command([f"#HOS={addr(n)}", "#TO=a@example.jp", directive, "", "x"])
        server = TimedServer(n)
        code, err, started, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_NOINPUT, err)
        self.assert_soon_after(ended, started, "start of the run")
        self.assertEqual(server.sessions, [], "something was sent")
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))
        lines = err.splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(f"tolvex: {INPUT} "), lines[0])
        return lines[0]

    def test_devices_as_the_text_file_and_as_an_attachment(self):
        cases = [("#TEX", 231, "text file"), ("#ATT", 232, "attachment")]
        for keyword, n, what in cases:
            for device in ("NUL", "CON"):
                with self.subTest(f"{device} as {keyword}"):
                    line = self.run_refused(n, f"{keyword}={device}")
                    self.assertIn(f'{what} "{device}"', line)
                    self.assertTrue(self.exists("command.txt"))

    def test_folder_as_an_attachment(self):
        # 表 ends in 5C: one folder named 資料表, not a path.
        os.mkdir(self.path("資料表"))
        line = self.run_refused(233, "#ATT=資料表")
        self.assertIn('attachment "資料表"', line)
        self.assertTrue(os.path.isdir(self.path("資料表")))


class HostileServer(WinRun):
    def test_greeting_flood_ends_at_once_with_120(self):
        # 30 MiB without a line end instead of a greeting.
        chunk = b"x" * (64 * 1024)
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(234)}", "#TO=a@example.jp", "",
                            "x"])
        server = TimedServer(234, greeting=[chunk] * 480)
        code, err, started, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, started, "start of the run")
        self.assertEqual(server.sessions[0].commands, [])
        # The arrival the tick finds holds what the network gave it; the
        # record keeps at most 512 bytes, a longer text cut to 509 and "...".
        records = self.log_records()
        self.assertEqual(len(records), 1, records)
        _, state, text = records[0]
        self.assertEqual(state, 120)
        self.assertRegex(text, rb"^(x{1,512}|x{509}\.\.\.)$")
        self.assertEqual(err.splitlines(),
                         [f"tolvex: {DELIVERY} delivery failed in state 120: {text.decode()}"])
        self.assert_clean_end()


class SlowHostile(WinRun):
    def test_close_during_the_greeting_ends_through_the_time_out(self):
        # The first piece passes the 220 check, HELO goes out to a closed
        # connection and no reply comes: 1201 ticks later the session ends.
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(235)}", "#TO=a@example.jp", "",
                            "x"])
        with TimedServer(235, greeting=[b"220-e2e.test ESMTP", CLOSE]) as server:
            started = time.monotonic()
            p = self.spawn(limit=240)
            try:
                p.wait(timeout=200)
            except subprocess.TimeoutExpired:
                self.fail("still running after 200 s")
            took = time.monotonic() - started
            _, err = p.communicate(timeout=30)
        err = err.decode("cp932")
        self.assertEqual(p.returncode, EX_UNAVAILABLE, err)
        self.assertGreaterEqual(took, 119.5)
        self.assertLess(took, 145)
        self.assertEqual(server.sessions[0].commands, [])
        self.assert_one_record(999, b"")
        self.assertEqual(err.splitlines(), [f"tolvex: {DELIVERY} delivery failed in state 999: (no reply)"])
        self.assert_clean_end()
