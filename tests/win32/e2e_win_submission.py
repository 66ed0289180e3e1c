"""The submission cases of e2e/test_submission.py (Postfix + Dovecot, the
scripted TLS servers), the --probe cases of e2e/test_probe.py, the OAuth
cases of e2e/test_oauth.py (WinHTTP, the client secret also from the
Credential Manager) and the Exim and OpenSMTPD cases of
e2e/test_strict_servers.py, run with tolvex.exe under Wine on
127.0.0.160-168, 169-173, 181-188, 189 (Postfix + Dovecot checking the
tokens) and 236-239; the #PRX cases of e2e/test_proxy.py (WinHTTP's
named proxy for the token request) on 176-179; what a server may say at any moment and a 221 that
comes with the close (one after the other) on 37; the #DSN cases of
e2e/test_dsn.py on 240; the backup server cases of e2e/test_failover.py on
161-166; the service account cases (#OSA, CNG's RS256
signature checked by the fake endpoint) on 138-139; the internationalised
addresses of e2e/test_intl.py (IdnToAscii) on 159."""

import subprocess

import winrun
from winrun import WinRun, wine_cmd

from test_api import ApiCases  # noqa: E402
from test_dsn import DsnCases  # noqa: E402
from test_failover import FailoverCases  # noqa: E402
from test_intl import IntlCases  # noqa: E402
from test_oauth import (CLIENT_ID, CLIENT_SECRET, DovecotOAuthCases, OAuthCases,  # noqa: E402
                        ServiceAccountCases)
from test_proxy import ProxyCases  # noqa: E402
from test_queue import QueueCases  # noqa: E402
from test_probe import ProbeCases, ProbeCloseCases  # noqa: E402
from test_strict_servers import StrictServerCases  # noqa: E402
from test_submission import USER, ScriptedTlsCases, ServerEdgeCases, SubmissionCases  # noqa: E402


class ArgsRun(WinRun):
    """tolvex.exe with arguments, run to its end."""

    def run_tolvex(self, args=(), limit=90):
        return subprocess.run(wine_cmd([winrun.EXE, *args], limit), cwd=self.dir,
                              capture_output=True, stdin=subprocess.DEVNULL)


class WinSubmission(SubmissionCases, ArgsRun):
    FIRST = 160


class WinScriptedTls(ScriptedTlsCases, ArgsRun):
    FIRST = 160


class WinDsn(DsnCases, ArgsRun):
    pass


class WinFailover(FailoverCases, ArgsRun):
    FIRST = 160


class WinQueue(QueueCases, ArgsRun):
    FIRST = 213
    private_files = False  # the folder's ACL on Windows


class WinIntl(IntlCases, ArgsRun):
    FIRST = SECOND = 159
    output_encoding = "cp932"


class WinStrictServers(StrictServerCases, ArgsRun):
    FIRST = 236


class WinProbe(ProbeCases, ArgsRun):
    FIRST = 168

    def run_probe(self):
        return self.run_tolvex(["--probe"])


class WinServerEdges(ServerEdgeCases, ArgsRun):
    FIRST = 36


class WinProbeClose(ProbeCloseCases, ArgsRun):
    FIRST = 36

    def run_probe(self):
        return self.run_tolvex(["--probe"])


class Cp932Run:
    """Put before a mixin whose cases run the program: they run it by
    ArgsRun's way, and read its output in the console's code page."""

    console = "cp932"

    def run_tolvex(self, args=(), timeout=90):
        return ArgsRun.run_tolvex(self, args, timeout)


class WinOAuth(Cp932Run, OAuthCases, ArgsRun):
    FIRST = 180

    def spawn_tolvex(self, args, env):
        # Wine's browser launcher stays off: the test is the browser.
        overrides = ";".join(filter(None, [env.get("WINEDLLOVERRIDES"), "winebrowser.exe=d"]))
        env = {**env, "WINEDLLOVERRIDES": overrides}
        return subprocess.Popen(wine_cmd([winrun.EXE, *args], 90), cwd=self.dir, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def stored_token(self, provider):
        res = winrun.wintool("readcredential", "0",
                             f"Tolvex:signin:{provider.url} {CLIENT_ID} {USER}")
        if res.returncode == 3:
            return None
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout

    def stored_client_secret(self):
        res = winrun.wintool("readcredential", "0", f"Tolvex:oauth:{CLIENT_ID}")
        return None if res.returncode == 3 else res.stdout.decode("utf-16-le")

    def test_client_secret_from_the_credential_manager(self):
        self.assertEqual(winrun.wintool("credential", "0", f"Tolvex:oauth:{CLIENT_ID}",
                                        CLIENT_SECRET).returncode, 0)
        with self.provider(8) as p:
            res, sessions = self.run_oauth(8, p, env={"TOLVEX_CLIENT_SECRET": ""})
        self.assertEqual(res.returncode, 0, self.err)
        self.assertEqual(self.record(), (0, b""))
        self.assertEqual(sessions[0].auth[0].mechanism, "XOAUTH2")
        self.assertEqual([f["client_secret"] == CLIENT_SECRET for f in self.token_requests(p)],
                         [True])


class WinServiceAccount(Cp932Run, ServiceAccountCases, ArgsRun):
    FIRST = 137


class WinApi(Cp932Run, ApiCases, ArgsRun):
    FIRST = 197
    # WinHTTP keeps the proxy's tunnel (and the TLS connection in it) for the
    # upload that follows the token request.
    tunnels = 1


class WinProxy(ProxyCases, ArgsRun):
    FIRST = 175
    console = "cp932"
    # Wine's WinHTTP sends its CONNECT without the credentials set for the
    # proxy and gives up at the 407 (error 12157).
    token_proxy_user = None
    https_proxy_variable = False


class WinDovecotOAuth(DovecotOAuthCases, ArgsRun):
    FIRST = 189
