#!/usr/bin/env python3
"""Submission benchmark: the wall time of one delivery to a private Postfix +
Dovecot (the end-to-end tests' submission peer on 127.0.0.121) as a plain
session (HELO, port 25), with STARTTLS + AUTH on 587 and with implicit TLS +
AUTH on 465. Prints the median and the spread of RUNS runs (default 5) of
each, and what TLS and AUTH add to the plain session. The plain session is
paced by the 100 ms tick (16 ticks); the submission sessions act on each
event as it comes. When msmtp is installed, the same STARTTLS + AUTH
delivery by msmtp is timed beside them for comparison.

    TOLVEX_BIN=build/release/src/platform/posix/tolvex python3 bench/submission_bench.py

Needs root and Debian's postfix, dovecot-core and openssl packages
(tools/install-deps.sh)."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))

from submission_peer import SMTPS, SUBMISSION, SubmissionPeer  # noqa: E402

ADDRESS = "127.0.0.121"
USER, SECRET = "bench", "bench-secret-4711"
RUNS = int(os.environ.get("RUNS", "5"))

CASES = [
    ("plain (HELO, 25)", []),
    ("STARTTLS + AUTH (587)", ["#SEC=starttls", f"#POR={SUBMISSION}", f"#USR={USER}",
                               f"#PAS={SECRET}", "#CAF=ca.pem"]),
    ("TLS + AUTH (465)", ["#SEC=tls", f"#POR={SMTPS}", f"#USR={USER}", f"#PAS={SECRET}",
                          "#CAF=ca.pem"]),
]


def one_run(program, folder, directives):
    lines = ["#LOC=client.tolvex.test", f"#HOS={ADDRESS}", "#FRO=bench@example.jp",
             "#TO=taro@tolvex.test", *directives, "#SUB=計測", "", "本文です。"]
    with open(os.path.join(folder, "command.txt"), "wb") as f:
        f.write("\r\n".join(lines).encode("cp932") + b"\r\n")
    start = time.monotonic()
    res = subprocess.run([program], cwd=folder, capture_output=True, timeout=120)
    took = time.monotonic() - start
    if res.returncode != 0:
        sys.exit(f"bench: exit {res.returncode}: {res.stderr.decode(errors='replace')}")
    return took


def msmtp_run(msmtp, folder):
    conf = os.path.join(folder, "msmtprc")
    with open(conf, "w") as f:
        f.write(f"account bench\nhost {ADDRESS}\nport {SUBMISSION}\ntls on\n"
                f"tls_starttls on\ntls_trust_file {os.path.join(folder, 'ca.pem')}\n"
                f"tls_host_override mx.tolvex.test\nauth plain\nuser {USER}\n"
                f"password {SECRET}\nfrom bench@example.jp\ndomain client.tolvex.test\n")
    os.chmod(conf, 0o600)
    message = b"Subject: bench\r\n\r\nbody\r\n"
    start = time.monotonic()
    res = subprocess.run([msmtp, "-C", conf, "-a", "bench", "taro@tolvex.test"], input=message,
                         capture_output=True, timeout=120)
    took = time.monotonic() - start
    if res.returncode != 0:
        sys.exit(f"bench: msmtp exit {res.returncode}: {res.stderr.decode(errors='replace')}")
    return took


def main():
    program = os.environ.get("TOLVEX_BIN") or os.path.join(
        root, "build", "release", "src", "platform", "posix", "tolvex")
    if not os.access(program, os.X_OK):
        sys.exit(f"bench: no program at {program} (set TOLVEX_BIN or build the release preset)")
    peer = SubmissionPeer(ADDRESS, USER, SECRET)
    folder = tempfile.mkdtemp(prefix="tolvex-subbench-")
    try:
        peer.start()
        shutil.copy(peer.pki.ca, os.path.join(folder, "ca.pem"))
        results = {}
        for name, directives in CASES:
            one_run(program, folder, directives)  # warm-up: caches, Postfix processes
            results[name] = [one_run(program, folder, directives) for _ in range(RUNS)]
        msmtp = shutil.which("msmtp")
        if msmtp:
            msmtp_run(msmtp, folder)
            results["msmtp STARTTLS + AUTH"] = [msmtp_run(msmtp, folder) for _ in range(RUNS)]
        plain = statistics.median(results[CASES[0][0]])
        print(f"{'session':24} {'median':>8} {'min':>7} {'max':>7} {'vs plain':>9}")
        for name, times in results.items():
            med = statistics.median(times)
            print(f"{name:24} {med:7.3f}s {min(times):6.3f}s {max(times):6.3f}s "
                  f"{med - plain:+8.3f}s")
    finally:
        peer.cleanup()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
