"""Failures of tolvex.exe under Wine: at start-up, in composing, in
delivery and in writing the log. The standard-error line, LOG.txt and the
exit status are the whole report: the process ends within END_WITHIN
seconds of the failure and no dialog box opens meanwhile. Behind the tray
icon the failure's sentence goes to a balloon, which holds nothing up.

Addresses: 110-118 failures, 123-124 the stand-in tray, 126-127 Wine's own
tray (run with --tray, under Xvfb), 227-228 events in the Application log.
Loaded by e2e_win.py.
"""

import os
import re
import subprocess
import time

from harness import addr
import winrun
from winrun import (EX_CANTCREAT, EX_DATAERR, EX_NOINPUT, EX_UNAVAILABLE, TimedServer, WinRun,
                    start_wintool, wine_cmd, wintool)

# FailureSentence of each kind, as the program writes it.
DELIVERY = "メールを送信できませんでした。詳しくは LOG.txt をご覧ください。"
INPUT = "必要なファイルを読み込めないため、処理を中止しました。"
BAD_VALUE = "command.txt の内容に誤りがあるため、処理を中止しました。"
SPOOL = "作業ファイル TEMP.TXT を書き込めませんでした。"
LOG = "記録ファイル LOG.txt に書き込めませんでした。"


class Failures(WinRun):
    def test_greeting_554_logs_120_and_ends_69_at_once(self):
        greeting = b"554 5.7.1 no service for you\r\n"
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(110)}", "#TO=a@example.jp", "", "x"])
        server = TimedServer(110, greeting=greeting)
        code, err, _, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, server.refused_at, "refusing greeting")
        self.assertEqual(server.sessions[0].commands, [])
        self.assert_one_record(120, greeting)
        self.assert_clean_end()
        self.assertEqual(err.splitlines(), [
            f"tolvex: {DELIVERY} delivery failed in state 120: 554 5.7.1 no service for you"])

    def test_rejected_last_recipient_logs_150_and_ends_69_at_once(self):
        reject = b"550 5.1.1 <nobody@example.jp>: Recipient address rejected\r\n"
        self.write_command([f"#HOS={addr(113)}", "#TO=a@example.jp, nobody@example.jp",
                            "#SUB=表示の件", "", "本文"])
        server = TimedServer(113, rcpt=[b"250 2.1.5 Ok\r\n", reject])
        code, err, _, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, server.refused_at, "refused recipient")
        self.assertEqual(server.sessions[0].verbs(), ["HELO", "MAIL", "RCPT", "RCPT"])
        self.assert_one_record(150, reject)
        self.assert_clean_end()
        self.assertEqual(err.splitlines(), [
            f"tolvex: {DELIVERY} delivery failed in state 150: "
            "550 5.1.1 <nobody@example.jp>: Recipient address rejected"])

    def test_start_up_failures_end_at_once_and_touch_nothing(self):
        # Nothing listens on 114: a run that got as far as connecting would
        # wait there for minutes.
        cases = [("no command.txt", None, EX_NOINPUT, INPUT, "command.txt"),
                 ("missing #TEX file", ["#DEL", "#TEX=表示.txt"], EX_NOINPUT, INPUT, "表示.txt"),
                 ("bad number", ["#MOR=3x", "#TER=5"], EX_DATAERR, BAD_VALUE, "#MOR")]
        for what, directives, status, sentence, named in cases:
            with self.subTest(what):
                if directives is not None:
                    self.write_command([*directives, f"#HOS={addr(114)}", "#TO=a@example.jp",
                                        "", "x"])
                before = sorted(os.listdir(self.dir))
                code, err, started, ended = self.run_to_the_end()
                self.assertEqual(code, status, err)
                self.assert_soon_after(ended, started, "start of the run")
                lines = err.splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith(f"tolvex: {sentence} "), lines[0])
                self.assertIn(named, lines[0])
                self.assertEqual(sorted(os.listdir(self.dir)), before)

    def test_composition_failures_skip_the_send_and_end_at_once(self):
        # 表 and ソ end in 5C: the name is 資料\表ソ.pdf, one folder deep.
        cases = [("attachment gone", "#ATT=資料\\表ソ.pdf", None, EX_NOINPUT, INPUT, "表ソ.pdf"),
                 ("TEMP.TXT not writable", "#SUB=件名", "TEMP.TXT", EX_CANTCREAT, SPOOL,
                  "TEMP.TXT")]
        for what, directive, folder, status, sentence, named in cases:
            with self.subTest(what):
                if folder:
                    os.mkdir(self.path(folder))
                self.write_command([f"#HOS={addr(115)}", "#TO=a@example.jp", directive, "", "x"])
                server = TimedServer(115)
                code, err, started, ended = self.run_to_the_end(server)
                self.assertEqual(code, status, err)
                self.assert_soon_after(ended, started, "start of the run")
                self.assertEqual(server.sessions, [], "something went out")
                self.assertEqual(self.log_records(), [])
                lines = err.splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith(f"tolvex: {sentence} "), lines[0])
                self.assertIn(named, lines[0])

    def test_unwritable_log_after_a_delivery_ends_73_at_once(self):
        os.mkdir(self.path("LOG.txt"))
        self.write_command([f"#HOS={addr(116)}", "#TO=a@example.jp", "", "x"])
        server = TimedServer(116)
        code, err, _, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_CANTCREAT, err)
        self.assert_soon_after(ended, server.replied_at, "server's last reply")
        self.assertTrue(server.sessions[0].complete)
        self.assertEqual(server.sessions[0].verbs()[-1], "QUIT")
        lines = err.splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(f"tolvex: {LOG} "), lines[0])
        self.assertTrue(os.path.isdir(self.path("LOG.txt")))
        self.assert_clean_end()

    def test_repeating_run_goes_on_after_a_failure_with_nothing_waiting(self):
        # The first send fails at once; the next one is minutes away. The
        # caption stays as the send left it, no box opens, and closing the
        # window ends the run at once with the failure's status.
        greeting = b"421 4.3.2 shutting down\r\n"
        self.write_command([f"#HOS={addr(112)}", "#TO=a@example.jp", "#MOR=2", "#TER=5", "", "x"])
        with TimedServer(112, greeting=greeting) as server:
            p = self.spawn()
            deadline = time.monotonic() + 30
            while server.refused_at is None and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertIsNotNone(server.refused_at, "no refusal")
            self.assert_no_box(self.watch_for_boxes(4))
            self.assertIsNone(p.poll(), "the run ended after its first send")
            self.assertEqual(self.main_window_state()["caption"], "Tolvex(送信中)")
            closed = time.monotonic()
            self.assertEqual(wintool("close", 30).returncode, 0)
            ended, err = self.wait_exit(p)
        self.assertEqual(p.returncode, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, closed, "close")
        self.assert_one_record(120, greeting)
        self.assert_clean_end()
        self.assertEqual(err.splitlines(), [
            f"tolvex: {DELIVERY} delivery failed in state 120: 421 4.3.2 shutting down"])

    def test_refused_repeat_keeps_running_until_closed(self):
        # Nothing listens: the connect fails without an event, the session
        # waits in 110; closing the window during it is an interruption.
        self.write_command([f"#HOS={addr(111)}", "#TO=a@example.jp", "#MOR=3", "#TER=5", "", "x"])
        p = self.spawn()
        state = self.main_window_state()
        self.assertEqual(state["caption"], "Tolvex(送信中)")
        closed = time.monotonic()
        self.assertEqual(wintool("close", 30).returncode, 0)
        ended, err = self.wait_exit(p)
        self.assertEqual(p.returncode, 130, err)
        self.assert_soon_after(ended, closed, "close")
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()


class WinEvents(WinRun):
    """The Application log under Wine: its ReportEventW writes each event's
    text to Wine's debug channel eventlog (err: Error, warn: Warning), so
    standard error shows what went into the log; writing it changes nothing
    else of the run. --register-eventlog writes the source's values."""

    def run_with_events(self, n, greeting, extra):
        self.write_command(["#LOC=tolvex.test", f"#HOS={addr(n)}", "#TO=a@example.jp",
                            "#SUB=件名は秘密", *extra, "", "本文"])
        env = {**os.environ, "WINEDEBUG": "-all,err+eventlog,warn+eventlog"}
        with TimedServer(n, greeting=greeting):
            res = subprocess.run(["timeout", "-k", "5", "90", "wine", winrun.EXE], cwd=self.dir,
                                 capture_output=True, stdin=subprocess.DEVNULL, env=env)
        err = res.stderr.decode("utf-8", "replace")
        events = re.findall(r'(?m)^[0-9a-f]+:(err|warn):eventlog:ReportEventW L"(.*)"$', err)
        return res.returncode, err, events

    def test_failure_and_kept_message_go_to_the_log(self):
        code, err, events = self.run_with_events(227, b"554 5.7.1 go away\r\n", ["#RTY=0,1"])
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_one_record(120, b"554 5.7.1 go away\r\n")
        # Refused for good: kept with its sidecar in undelivered/refused/.
        kept = sorted(os.listdir(self.path("undelivered/refused")))
        self.assertEqual([level for level, _ in events], ["err", "warn"], err)
        # Wine's debug text doubles each backslash.
        folder = "folder Z:" + self.dir.replace("/", "\\\\") + ": "
        self.assertEqual([text for _, text in events],
                         [folder + "state 120: 554 5.7.1 go away",
                          folder + f"the undelivered message is kept (file undelivered/refused/{kept[0]})"])

    def test_off_writes_nothing_and_register_sets_the_source(self):
        code, err, events = self.run_with_events(228, b"554 5.7.1 go away\r\n", ["#EVT=off"])
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assertEqual(events, [])
        res = subprocess.run(wine_cmd([winrun.EXE, "--register-eventlog"], 60), cwd=self.dir,
                             capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(res.returncode, 0, res.stderr)
        key = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tolvex"
        query = subprocess.run(wine_cmd(["reg", "query", key], 60), capture_output=True,
                               stdin=subprocess.DEVNULL)
        values = query.stdout.decode("utf-8", "replace")
        exe = "Z:" + winrun.EXE.replace("/", "\\")
        self.assertRegex(values, r"EventMessageFile\s+REG_EXPAND_SZ\s+" + re.escape(exe))
        self.assertRegex(values, r"TypesSupported\s+REG_DWORD\s+0x7\b")


class TrayBalloon(WinRun):
    """#FOR=tray against a stand-in notification area (wintool tray) that
    prints each record the program sends it."""

    def tray_run(self, server):
        self.write_command([f"#HOS={server.address}", "#TO=a@example.jp", "#FOR=tray", "", "x"])
        tray = start_wintool("tray", 60, limit=90)
        self.addCleanup(_end, tray)
        code, err, _, ended = self.run_to_the_end(server)
        out, _ = tray.communicate(timeout=30)
        # The NIM_ message, then the texts each record carries.
        records = [line.split("\t") for line in out.decode("utf-8").splitlines()]
        return code, err, ended, records

    def test_failed_delivery_puts_its_sentence_in_a_balloon_and_ends_at_once(self):
        server = TimedServer(123, greeting=b"554 5.7.1 go away\r\n")
        code, err, ended, records = self.tray_run(server)
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, server.refused_at, "refusing greeting")
        # Added, the balloon on it, deleted at the end.
        self.assertEqual([r[0] for r in records], ["0", "1", "2"], records)
        self.assertEqual(records[1][1:], [DELIVERY, "Tolvex"])
        self.assertEqual(err.splitlines(), [
            f"tolvex: {DELIVERY} delivery failed in state 120: 554 5.7.1 go away"])

    def test_successful_delivery_shows_no_balloon(self):
        server = TimedServer(124)
        code, err, _, records = self.tray_run(server)
        self.assertEqual(code, 0, err)
        self.assertEqual([r[0] for r in records], ["0", "2"], records)
        self.assertEqual(err, "")


class TrayFailureOnScreen(WinRun):
    """Failed deliveries behind an icon in Wine's own notification area
    (needs an X server)."""

    def test_one_send_behind_the_icon_ends_at_once(self):
        self.write_command([f"#HOS={addr(126)}", "#TO=a@example.jp", "#FOR=tray", "#DEL", "", "x"])
        server = TimedServer(126, greeting=b"554 5.7.1 go away\r\n")
        code, err, _, ended = self.run_to_the_end(server)
        self.assertEqual(code, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, server.refused_at, "refusing greeting")
        self.assertFalse(self.exists("command.txt"))
        self.assertEqual(len(err.splitlines()), 1, err)

    def test_repeating_run_shows_the_balloon_and_goes_on(self):
        self.write_command([f"#HOS={addr(127)}", "#TO=a@example.jp", "#FOR=tray", "#MOR=2",
                            "#TER=5", "", "x"])
        with TimedServer(127, greeting=b"421 4.3.2 busy\r\n") as server:
            watcher = self.watch_for_boxes(8)
            p = self.spawn()
            balloon = wintool("balloon", 20)
            self.assertEqual(balloon.returncode, 0, "no balloon")
            self.assertEqual(balloon.stdout.decode("utf-8").strip(), DELIVERY)
            self.assertIsNotNone(server.refused_at)
            self.assertIsNone(p.poll(), "the run ended after its first send")
            closed = time.monotonic()
            self.assertEqual(wintool("close", 30).returncode, 0)
            ended, err = self.wait_exit(p)
        self.assert_no_box(watcher)
        self.assertEqual(p.returncode, EX_UNAVAILABLE, err)
        self.assert_soon_after(ended, closed, "close")
        self.assert_one_record(120, b"421 4.3.2 busy\r\n")


def _end(p):
    if p.poll() is None:
        p.terminate()  # timeout(1) hands it on to the Wine process
    try:
        p.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
