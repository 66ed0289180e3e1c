"""Shared pieces of the Wine end-to-end runs: tolvex.exe and wintool.exe
started under Wine with a time limit, the Linux harness's work folder per
test, a scripted server that notes when it refused, and the checks that a
run ends at once and leaves no dialog box waiting.

configure() names the two programs before any test runs.
"""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import E2ETest, Script, ScriptedSmtpServer, addr  # noqa: E402

EXE = WINTOOL = None
EX_DATAERR, EX_NOINPUT, EX_UNAVAILABLE, EX_CANTCREAT = 65, 66, 69, 73
# A failure's report must not hold the run up: from the failure to the
# end of the process, Wine's own start-up and shut-down included.
END_WITHIN = 3.0
# (test, what the time was counted from, seconds) of every timed end.
timings = []


def configure(exe, tool):
    global EXE, WINTOOL
    EXE, WINTOOL = os.path.abspath(exe), os.path.abspath(tool)


def wine_cmd(args, limit):
    return ["timeout", "-k", "5", str(limit), "wine", *args]


def wintool(*args, limit=60):
    return subprocess.run(wine_cmd([WINTOOL, *map(str, args)], limit), capture_output=True,
                          stdin=subprocess.DEVNULL)


def start_wintool(*args, limit=60):
    """wintool in the background, once it has printed its "ready" line."""
    p = subprocess.Popen(wine_cmd([WINTOOL, *map(str, args)], limit), stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    first = p.stdout.readline()
    if first.strip() != b"ready":
        p.kill()
        p.communicate()
        raise AssertionError(f"wintool {args[0]} did not start: {first!r}")
    return p


class TimedServer(ScriptedSmtpServer):
    """The scripted server on 127.0.0.n, noting (time.monotonic()) when its
    first refusing reply (4xx, 5xx) and its last reply went out."""

    def __init__(self, n, **script):
        super().__init__(addr(n), Script(**script))
        self.refused_at = self.replied_at = None

    def _say(self, conn, reply):
        going_on = super()._say(conn, reply)
        items = reply if isinstance(reply, list) else [reply]
        sent = [i for i in items if isinstance(i, bytes) and i]
        if sent:
            self.replied_at = time.monotonic()
            if self.refused_at is None and sent[0][:1] in (b"4", b"5"):
                self.refused_at = self.replied_at
        return going_on


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

    def watch_for_boxes(self, seconds):
        """A watcher that fails when any dialog box opens within `seconds`
        or before the main window it has seen is gone."""
        return start_wintool("nobox", seconds, limit=seconds + 60)

    def assert_no_box(self, watcher):
        out, _ = watcher.communicate(timeout=120)
        self.assertEqual(watcher.returncode, 0, f"a dialog box opened: {out.decode('utf-8')}")

    def wait_exit(self, p):
        """Waits for the process; returns time.monotonic() at its end and
        its standard error as text."""
        try:
            p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("still running after 60 s")
        ended = time.monotonic()
        _, err = p.communicate(timeout=30)
        return ended, err.decode("cp932")

    def assert_soon_after(self, ended, since, what):
        self.assertIsNotNone(since, f"no {what}")
        took = ended - since
        timings.append((self.id().rsplit(".", 1)[-1], what, took))
        self.assertLessEqual(took, END_WITHIN, f"ended {took:.2f} s after the {what}")

    def run_to_the_end(self, server=None):
        """Runs tolvex.exe to its end (with `server` serving) under a box
        watcher; returns exit status, standard error as text, and
        time.monotonic() at its start and at its end."""
        watcher = self.watch_for_boxes(END_WITHIN + 2)
        started = time.monotonic()
        with server or contextlib.nullcontext():
            p = self.spawn()
            ended, err = self.wait_exit(p)
        self.assert_no_box(watcher)
        return p.returncode, err, started, ended


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
