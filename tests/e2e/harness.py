"""Shared pieces of the end-to-end tests: a temporary work folder per test,
writing command files in Shift_JIS, running the built program, reading its
log.

Every test serves on its own loopback address 127.0.0.N (port 25), so test
programs may run side by side:
  40-49 and 63-64 messages, 50-60 delivery failures, 61-62 schedules,
  5-7 hostile sign-ins (a fake OAuth provider on each), 65-69 start-up failures,
  70-74 signals, 75 the real time-out, 76-80 --probe, 90 the Postfix peer,
  91-99 submission over TLS (91 Postfix + Dovecot, 92-99 scripted servers),
  200-212 hostile servers, 213-218 inputs that are not plain files,
  140-145 Cc/Bcc and retries, 220-225 signals at any moment, 226-230 a full
  work folder, 241-248 OAuth (a fake provider and a scripted server on each),
  249 the Postfix + Dovecot peer that checks OAuth tokens, 250-253 Exim and
  OpenSMTPD (250-251) behind taps (252-253), 2-4 peers that echo the
  secrets they were sent (test_oauth.EchoedSecrets), 11-13 what a submission
  server may say at any moment, a probe against servers closing after 221
  (12 scripted, 13 Postfix + Dovecot), 240 #DSN (test_dsn; Wine too), 196
  attachments by wildcard (test_messages.Wildcards; Wine too), 170-175
  proxies (test_proxy: the proxy on 170, servers on 171-173; 176-179 under Wine),
  190-192 the mail APIs (test_api; 197-199 under Wine), 135-136 service
  accounts (138-139 under Wine), 137 and 158 internationalised addresses (159
  under Wine), 133 the Postfix peer with SMTPUTF8, 232-233 HTML reports (237
  under Wine), 224 events through syslog (test_events), 181-186 a backup server
  (test_failover; 161-166 under Wine), 203-205 kept mail (test_queue; 213-215
  under Wine).
"""

import collections

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from smtp_server import CLOSE, Script, ScriptedSmtpServer  # noqa: F401 (re-exported)

TOLVEX = os.environ.get("TOLVEX_BIN", "")
CRLF = b"\r\n"
LOG_DATE = rb"(\d{4})/(\d{2})/(\d{2}) (\d{1,2}):(\d{2}):(\d{2})"


def addr(n):
    return f"127.0.0.{n}"


def sjis(text):
    return text.encode("cp932")


def command_file(lines, eol=CRLF):
    """Command file bytes: str lines are encoded as Shift_JIS."""
    return b"".join((l if isinstance(l, bytes) else sjis(l)) + eol for l in lines)


def parse_log(data, date=LOG_DATE):
    """LOG.txt records as (date-time tuple, state, reply). A record's reply
    usually ends with the server's own CR LF, so the record line is then
    followed by an empty line. `date` is the date-time pattern (six groups)."""
    records = []
    starts = [m.start() for m in re.finditer(rb"(?m)^" + date + rb" -?\d+ ", data)]
    for i, s in enumerate(starts):
        end = starts[i + 1] if i + 1 < len(starts) else len(data)
        chunk = data[s:end]
        m = re.match(date + rb" (-?\d+) (.*)\r\n\Z", chunk, re.S)
        if not m:
            raise AssertionError(f"malformed log record {chunk!r}")
        when = tuple(int(x) for x in m.groups()[:6])
        records.append((when, int(m.group(7)), m.group(8)))
    if not starts and data:
        raise AssertionError(f"malformed log {data!r}")
    return records


class E2ETest(unittest.TestCase):
    """Base class: a fresh work folder per test, removed afterwards."""

    def setUp(self):
        if not TOLVEX or not os.access(TOLVEX, os.X_OK):
            self.fail(f"TOLVEX_BIN does not name the built program: {TOLVEX!r}")
        self.dir = tempfile.mkdtemp(prefix="tolvex-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.started = time.time()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Writes a file; name is the name on disk (UTF-8, as the program
        maps a Shift_JIS name from the command file)."""
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        return full

    def write_command(self, lines, eol=CRLF):
        self.write("command.txt", command_file(lines, eol))

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.path(name))

    def run_tolvex(self, args=(), timeout=60):
        return subprocess.run([TOLVEX, *args], cwd=self.dir, capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def run_measured(self, timeout=60):
        return run_measured([TOLVEX], self.dir, timeout)

    def spawn(self, args=()):
        p = subprocess.Popen([TOLVEX, *args], cwd=self.dir, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(_reap, p)
        return p

    log_date = LOG_DATE

    def log_records(self):
        if not self.exists("LOG.txt"):
            return []
        return parse_log(self.read("LOG.txt"), self.log_date)

    def serve(self, n, **script):
        """A server on 127.0.0.n that also snapshots TEMP.TXT when the
        message has arrived (the spool file exists only during the run)."""
        self.spool = []

        def snapshot(_session):
            self.spool.append(self.read("TEMP.TXT") if self.exists("TEMP.TXT") else None)

        script.setdefault("on_message", snapshot)
        return ScriptedSmtpServer(addr(n), Script(**script))

    def assert_one_record(self, state, reply):
        records = self.log_records()
        self.assertEqual(len(records), 1, records)
        when, got_state, got_reply = records[0]
        self.assertEqual((got_state, got_reply), (state, reply))
        # Local date and time of the run, give or take the run's length.
        logged = time.mktime((*when, 0, 0, -1))
        self.assertGreaterEqual(logged, self.started - 2)
        self.assertLessEqual(logged, time.time() + 2)

    def kept_messages(self):
        """The kept messages: the files of undelivered/ and (as "refused/<name>")
        of undelivered/refused/, less their .json sidecars, sorted."""
        names = []
        for sub in ("", "refused/"):
            folder = self.path("undelivered/" + sub)
            if os.path.isdir(folder):
                names += [sub + n for n in os.listdir(folder) if not n.endswith(".json")
                          and not os.path.isdir(os.path.join(folder, n))]
        return sorted(names)

    def assert_clean_end(self):
        """The spool file never outlives the run."""
        self.assertFalse(self.exists("TEMP.TXT"), "TEMP.TXT left behind")


# One measured run: exit status, standard error, seconds from start to end
# and the program's peak resident set in KiB. GNU time starts it and reads
# its rusage: a child forked from this Python process would carry Python's
# own resident set into its peak.
Measured = collections.namedtuple("Measured", "status stderr elapsed peak_kib")


def run_measured(argv, cwd, timeout):
    with tempfile.TemporaryDirectory(prefix="tolvex-time-") as tmp:
        usage = os.path.join(tmp, "peak")
        t0 = time.monotonic()
        res = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", usage, *argv], cwd=cwd,
                             capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        elapsed = time.monotonic() - t0
        with open(usage) as f:
            peak = int(f.read().split()[-1])
    return Measured(res.returncode, res.stderr, elapsed, peak)


def _reap(p):
    if p.poll() is None:
        p.kill()
    p.communicate()
