"""The submission cases of e2e/test_submission.py (Postfix + Dovecot, the
scripted TLS servers) and the --probe cases of e2e/test_probe.py, run with
tolvex.exe under Wine on 127.0.0.160-168 and 169-172."""

import subprocess

import winrun
from winrun import WinRun, wine_cmd

from test_probe import ProbeCases  # noqa: E402
from test_submission import ScriptedTlsCases, SubmissionCases  # noqa: E402


class ArgsRun(WinRun):
    """tolvex.exe with arguments, run to its end."""

    def run_tolvex(self, args=(), limit=90):
        return subprocess.run(wine_cmd([winrun.EXE, *args], limit), cwd=self.dir,
                              capture_output=True, stdin=subprocess.DEVNULL)


class WinSubmission(SubmissionCases, ArgsRun):
    FIRST = 160


class WinScriptedTls(ScriptedTlsCases, ArgsRun):
    FIRST = 160


class WinProbe(ProbeCases, ArgsRun):
    FIRST = 168

    def run_probe(self):
        return self.run_tolvex(["--probe"])
