"""OAuth 2.0 for SMTP AUTH (#AUT, #OAU, #OID, #OSC, #OSP): the client
credentials token fetched from a fake provider (oauth_provider.py, HTTPS
with the throwaway CA) before the connection, then AUTH XOAUTH2 or
OAUTHBEARER against scripted TLS servers; the error challenge; a token
endpoint that refuses, stalls or answers garbage. After every run the
client secret and every access token issued are looked for, raw, in
Base64 at each alignment and form-encoded, in every work file, TEMP.TXT
during the delivery, standard output and standard error.

Addresses 127.0.0.241-248 (provider and server share one address); the
hostile sign-in cases 127.0.0.5-7; the echoing peers of EchoedSecretsCases
127.0.0.2-4; a Google service account (#OSA, the JWT bearer grant)
127.0.0.135-136.
"""

import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
from unittest import mock

from harness import TOLVEX, E2ETest, addr
from oauth_provider import OAuthProvider, ServiceAccount
from smtp_server import ehlo_reply
from test_pki import _openssl, make_pki
from submission_peer import SUBMISSION, SubmissionPeer
from test_postfix import parse
from test_submission import BEFORE_TLS, UNDER_TLS, USER, ScriptedTlsCases, SecretKept, traces

CLIENT_ID = "0f3c-tolvex-client"
# Bytes the form encoding changes (+ / = ~) and none it leaves alone only.
CLIENT_SECRET = "Qz8~tolvex+Cs/4=client"
EX_DATAERR, EX_UNAVAILABLE, EX_NOPERM = 65, 69, 77
BOTH = ehlo_reply("e2e.test", "PIPELINING", "AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER", "8BITMIME")


def all_traces(secret):
    return traces(secret) + [urllib.parse.quote_plus(secret, safe="-._~").encode()]


class OAuthCases(SecretKept):
    """The scripted TLS servers of the submission tests, without their cases."""

    FIRST = 240

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"scripted": [addr(cls.FIRST + k) for k in range(1, 9)]})

    server = ScriptedTlsCases.server
    job = ScriptedTlsCases.job
    assert_no_credentials_in_plain = ScriptedTlsCases.assert_no_credentials_in_plain

    def provider(self, k, **kw):
        return OAuthProvider(addr(self.FIRST + k), self.pki.cert("scripted"),
                             self.pki.key("scripted"), CLIENT_ID, CLIENT_SECRET, **kw)

    def oauth_job(self, k, provider, *directives, secret_line=True):
        self.job(k, "#SEC=starttls", f"#OAU={provider.url}", f"#OID={CLIENT_ID}",
                 *([f"#OSC={CLIENT_SECRET}"] if secret_line else []), *directives,
                 password=False)

    def run_oauth(self, k, provider, directives=(), env=None, args=(), timeout=60, **server):
        self.oauth_job(k, provider, *directives, secret_line=not env)
        server.setdefault("replies", {"EHLO": BEFORE_TLS})
        server.setdefault("tls_replies", {"EHLO": BOTH})
        with self.server(k, **server) as srv, mock.patch.dict(os.environ, env or {}):
            t0 = time.monotonic()
            res = self.run_tolvex(list(args), timeout=timeout)
            self.elapsed = time.monotonic() - t0
        self.err = res.stderr.decode("utf-8", "replace")
        self.assertEqual(srv.errors, [])
        self.assert_nothing_secret(res, provider, command_holds_it=not env)
        for session in srv.sessions:
            self.assert_no_credentials_in_plain(session)
        return res, srv.sessions

    def assert_nothing_secret(self, res, provider, command_holds_it):
        places = {"standard output": res.stdout, "standard error": res.stderr}
        for i, copy in enumerate(getattr(self, "spool", None) or []):
            places[f"TEMP.TXT during delivery {i + 1}"] = copy or b""
        for folder, _, files in os.walk(self.dir):
            for name in files:
                rel = os.path.relpath(os.path.join(folder, name), self.dir)
                with open(os.path.join(folder, name), "rb") as f:
                    places[rel] = f.read()
        secrets = [("client secret", CLIENT_SECRET)]
        secrets += [(f"access token {i + 1}", t) for i, t in enumerate(provider.issued)]
        secrets += [(f"refresh token {i + 1}", t) for i, t in enumerate(provider.refreshes)]
        secrets += [("device code", provider.device_code)]
        secrets += [(f"authorization code {i + 1}", c) for i, c in enumerate(provider.auth_codes)]
        secrets += [(f"code verifier {i + 1}", v) for i, v in enumerate(provider.verifiers) if v]
        for where, data in places.items():
            for what, secret in secrets:
                if where == "command.txt" and what == "client secret" and command_holds_it:
                    continue
                for t in all_traces(secret):
                    self.assertFalse(t in data, f"the {what} shows in {where}")

    def token_requests(self, provider):
        return [form for path, form in provider.requests if path == "/token"]

    def test_client_credentials_then_xoauth2_delivers(self):
        with self.provider(1) as p:
            res, sessions = self.run_oauth(1, p, ["#OSP=https://mail.tolvex.test/.default"])
        self.assertEqual(res.returncode, 0, self.err)
        self.assertEqual(self.record(), (0, b""))
        self.assert_clean_end()
        self.assertEqual(self.token_requests(p), [{
            "grant_type": "client_credentials", "client_id": CLIENT_ID,
            "client_secret": CLIENT_SECRET, "scope": "https://mail.tolvex.test/.default"}])
        self.assertEqual(len(p.issued), 1)
        s = sessions[0]
        self.assertEqual(s.verbs(), ["EHLO", "STAR", "EHLO", "AUTH", "MAIL", "RCPT", "DATA",
                                     "QUIT"])
        self.assertEqual(len(s.auth), 1)
        auth = s.auth[0]
        self.assertEqual(auth.mechanism, "XOAUTH2")
        # Compared as a boolean: a failure must not print the token.
        expected = b"user=" + USER.encode() + b"\x01auth=Bearer " + p.issued[0].encode() + b"\x01\x01"
        self.assertTrue(auth.initial == expected, "XOAUTH2 initial response")

    def test_only_oauthbearer_offered_secret_from_the_environment(self):
        offered = ehlo_reply("e2e.test", "AUTH PLAIN OAUTHBEARER", "8BITMIME")
        with self.provider(2) as p:
            res, sessions = self.run_oauth(2, p, env={"TOLVEX_CLIENT_SECRET": CLIENT_SECRET},
                                           tls_replies={"EHLO": offered})
        self.assertEqual(res.returncode, 0, self.err)
        self.assertEqual(self.record(), (0, b""))
        auth = sessions[0].auth[0]
        self.assertEqual(auth.mechanism, "OAUTHBEARER")
        expected = (b"n,a=" + USER.encode() + b",\x01host=" + addr(self.FIRST + 2).encode() +
                    b"\x01port=587\x01auth=Bearer " + p.issued[0].encode() + b"\x01\x01")
        self.assertTrue(auth.initial == expected, "OAUTHBEARER initial response")

    def test_error_challenge_is_answered_and_the_535_logged_in_139(self):
        for k, aut, mechanism, answer in ((3, "xoauth2", "XOAUTH2", b"\r\n"),
                                          (4, "oauthbearer", "OAUTHBEARER", b"AQ==\r\n")):
            with self.subTest(mechanism), self.provider(k) as p:
                res, sessions = self.run_oauth(k, p, [f"#AUT={aut}"], bearer_ok=lambda t: False)
                text = self.assert_failed_in(res, 139, EX_NOPERM)
                self.assertTrue(text.startswith(b"535 5.7.8 "), text)
                s = sessions[0]
                self.assertEqual([a.mechanism for a in s.auth], [mechanism])
                self.assertEqual(s.auth[0].lines, [answer])
                self.assertNotIn("MAIL", s.verbs())
            os.remove(self.path("LOG.txt"))

    def test_no_token_mechanism_offered_fails_in_137_without_auth(self):
        plain_only = ehlo_reply("e2e.test", "AUTH PLAIN LOGIN", "8BITMIME")
        with self.provider(5) as p:
            res, sessions = self.run_oauth(5, p, tls_replies={"EHLO": plain_only})
        self.assertEqual(self.assert_failed_in(res, 137), plain_only)
        self.assertEqual(sessions[0].auth, [])

    def test_token_endpoint_refuses_or_garbles_no_connection_no_auth(self):
        for mode, pattern in (("refuse", rb"^token request refused: invalid_client: AADSTS7000215: "
                                         rb"Invalid client secret provided\.$"),
                              ("malformed", rb"^token request refused: malformed_reply: ")):
            with self.subTest(mode), self.provider(6) as p:
                p.mode = mode
                res, sessions = self.run_oauth(6, p)
                text = self.assert_failed_in(res, 105)
                self.assertRegex(text, pattern)
                self.assertEqual(sessions, [], "connected although no token came")
                self.assertIn(mode == "refuse" and "invalid_client" or "malformed_reply", self.err)
            os.remove(self.path("LOG.txt"))

    def test_token_endpoint_that_stalls_is_given_up_in_bounded_time(self):
        with self.provider(7) as p:
            p.mode = "stall"
            res, sessions = self.run_oauth(7, p, timeout=90)
        text = self.assert_failed_in(res, 105)
        self.assertRegex(text, rb"(?i)^token request to https://\S+ failed: .*time")
        self.assertLess(self.elapsed, 40)
        self.assertEqual(sessions, [])

    def test_endpoint_that_is_not_https_is_refused_at_start(self):
        self.job(8, "#SEC=starttls", f"#OAU=http://{addr(self.FIRST + 8)}/token",
                 f"#OID={CLIENT_ID}", f"#OSC={CLIENT_SECRET}", password=False)
        res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_DATAERR, res.stderr)
        self.assertIn(b'"#OAU" value "http://', res.stderr)
        self.assertFalse(self.exists("LOG.txt"))

    def test_google_without_a_sign_in_says_to_sign_in(self):
        if self.stored_client_secret() is not None:
            self.skipTest("a stored client secret would be found")
        self.job(8, "#SEC=starttls", "#OAU=google", f"#OID={CLIENT_ID}", password=False)
        self.sign_in_env()
        with mock.patch.dict(os.environ, self.env):
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_DATAERR, res.stderr)
        self.assertIn(b"no stored sign-in for " + USER.encode() + b": run tolvex --login",
                      res.stderr)
        self.assertFalse(self.exists("LOG.txt"))

    def test_check_and_probe_show_oauth_but_no_secret(self):
        with self.provider(1) as p:
            res, sessions = self.run_oauth(1, p, args=["--check"])
            self.assertEqual(res.returncode, 0, self.err)
            out = res.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
            self.assertIn(f"AUTH XOAUTH2 or OAUTHBEARER as {USER}; token from {p.url}", out)
            self.assertIn("client secret from #OSC", out)
            self.assertEqual((sessions, p.requests), ([], []))
            res, sessions = self.run_oauth(1, p, args=["--probe"])
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        out = res.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.assertIn(f"Token:       obtained from {p.url}\n", out)
        self.assertIn("XOAUTH2 OAUTHBEARER", out)
        self.assertEqual(len(p.issued), 1)
        self.assertEqual(sessions[0].auth, [], "the probe sent the token")
        # MAIL FROM would be refused without the token's AUTH: not tried.
        self.assertEqual(sessions[0].verbs(), ["EHLO", "STAR", "EHLO", "QUIT"])
        self.assertIn("Envelope:    not tried: MAIL FROM and RCPT TO need AUTH with the token, "
                      "which --probe does not send\nQUIT:        221 ", out)

    # tolvex --login by the device code, then sends by the refresh grant of
    # the stored sign-in (a public client: no client secret anywhere).

    def sign_in_env(self):
        self.config = tempfile.mkdtemp(prefix="tolvex-config-")
        self.addCleanup(shutil.rmtree, self.config, True)
        self.env = {"XDG_CONFIG_HOME": self.config}

    console = "utf-8"  # what standard output is written in

    def stored_client_secret(self):
        """The client secret a credential store holds (none on Linux)."""
        return None

    def stored_token(self, provider):
        """The refresh token the sign-in store holds for the provider."""
        folder = os.path.join(self.config, "tolvex")
        names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        if not names:
            return None
        self.assertEqual(len(names), 1, names)
        path = os.path.join(folder, names[0])
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        with open(path, "rb") as f:
            key, token, end = f.read().split(b"\n")
        self.assertEqual((key, end), (f"{provider.url} {CLIENT_ID} {USER}".encode(), b""))
        return token

    def test_login_then_the_refresh_token_rotates_across_runs_until_revoked(self):
        self.sign_in_env()
        with self.provider(1) as p:
            res, sessions = self.run_oauth(1, p, env=self.env, args=["--login"])
            self.assertEqual(res.returncode, 0, self.err)
            out = res.stdout.decode(self.console)
            self.assertIn(f"ブラウザで https://{p.address}/device を開き、コード TOLV-EX42 を入力", out)
            self.assertIn(f"open https://{p.address}/device in a browser and enter the code "
                          "TOLV-EX42.", out)
            self.assertIn("サインインしました。", out)
            self.assertEqual(sessions, [])
            self.assertEqual([path for path, _ in p.requests], ["/devicecode"] + ["/token"] * 3)
            self.assertNotIn("client_secret", p.requests[0][1])
            # Polled at the interval: 1 s, 1 s again after authorization_pending,
            # 1 + 5 s after slow_down.
            gaps = [b - a for a, b in zip(p.times, p.times[1:])]
            self.assertGreaterEqual(gaps[1], 0.9)
            self.assertGreaterEqual(gaps[2], 5.9)
            self.assertEqual(self.stored_token(p), p.refresh.encode())
            # A confidential client's secret, where one is stored, goes along.
            secret = self.stored_client_secret()
            extra = {"client_secret": secret} if secret else {}
            asked = len(p.requests)
            res, _ = self.run_oauth(1, p, env=self.env, args=["--check"])
            self.assertEqual(res.returncode, 0, self.err)
            shown = "from the credential store" if secret else "none"
            self.assertIn(f"token from {p.url} (stored sign-in), client {CLIENT_ID}, client "
                          f"secret {shown}", res.stdout.decode(self.console))
            self.assertEqual(len(p.requests), asked)
            for run in range(3):
                with self.subTest(run=run):
                    used = p.refresh
                    asked = len(p.requests)
                    res, sessions = self.run_oauth(1, p, env=self.env)
                    self.assertEqual(res.returncode, 0, self.err)
                    self.assertEqual(self.record(), (0, b""))
                    self.assertEqual(p.requests[asked:], [("/token", {
                        "grant_type": "refresh_token", "client_id": CLIENT_ID, **extra,
                        "refresh_token": used})])
                    self.assertNotEqual(p.refresh, used)
                    self.assertEqual(self.stored_token(p), p.refresh.encode())
                    expected = (b"user=" + USER.encode() + b"\x01auth=Bearer " +
                                p.issued[-1].encode() + b"\x01\x01")
                    self.assertTrue(sessions[0].auth[0].initial == expected, "XOAUTH2 response")
                    os.remove(self.path("LOG.txt"))
            p.refresh = None  # revoked
            res, sessions = self.run_oauth(1, p, env=self.env)
        text = self.assert_failed_in(res, 105)
        self.assertRegex(text, rb"^token request refused: invalid_grant: AADSTS700082: .*"
                               rb"no longer valid: run tolvex --login in this folder again$")
        self.assertEqual(sessions, [], "connected although the sign-in is void")

    def test_login_code_that_expires_stores_nothing(self):
        self.sign_in_env()
        with self.provider(2) as p:
            p.device_expired = True
            res, sessions = self.run_oauth(2, p, env=self.env, args=["--login"])
        self.assertEqual(res.returncode, EX_UNAVAILABLE, self.err)
        self.assertIn("コードの有効期限が切れました。もう一度 tolvex --login を実行してください。",
                      res.stdout.decode(self.console))
        self.assertIn("the code expired before the sign-in was completed: run tolvex --login again",
                      self.err)
        self.assertIsNone(self.stored_token(p))
        self.assertFalse(self.exists("LOG.txt"))

    # tolvex --login in a browser (the authorization code with PKCE): the
    # test is the browser, following the URL printed to the provider's
    # authorization endpoint and its redirect to tolvex's loopback port.

    def spawn_tolvex(self, args, env):
        return subprocess.Popen([TOLVEX, *args], cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def browser_login(self, k, provider, before_browser=None):
        """Runs tolvex --login, opens the URL it prints (after calling
        `before_browser` with it, when given); returns the result, its
        standard output and the page the browser was shown."""
        self.oauth_job(k, provider, f"#OAZ={provider.authorize_url}", secret_line=False)
        env = {name: value for name, value in os.environ.items()
               if name not in ("DISPLAY", "WAYLAND_DISPLAY")}  # no browser to open
        env.update(self.env)
        proc = self.spawn_tolvex(["--login"], env)
        guard = threading.Timer(60, proc.kill)
        guard.start()
        try:
            lines = []
            while not lines or not lines[-1].startswith(b"https://"):
                line = proc.stdout.readline()
                self.assertTrue(line, f"no URL printed: {b''.join(lines)!r}")
                lines.append(line.strip())
            if before_browser:
                before_browser(lines[-1].decode("ascii"))
            context = ssl.create_default_context(cafile=self.pki.ca)
            browser = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                                  urllib.request.HTTPSHandler(context=context))
            try:
                with browser.open(lines[-1].decode("ascii"), timeout=30) as answer:
                    page = answer.read().decode("utf-8")
            except urllib.error.HTTPError as e:
                page = e.read().decode("utf-8", "replace")
            out, err = proc.communicate(timeout=30)
        finally:
            guard.cancel()
        res = subprocess.CompletedProcess(proc.args, proc.returncode, b"\n".join(lines) + out, err)
        self.err = err.decode("utf-8", "replace")
        self.assert_nothing_secret(res, provider, command_holds_it=False)
        return res, res.stdout.decode(self.console), page, lines[-1].decode("ascii")

    def test_login_in_a_browser_then_sends_by_the_stored_sign_in(self):
        self.sign_in_env()
        with self.provider(3) as p:
            res, out, page, url = self.browser_login(3, p)
            self.assertEqual(res.returncode, 0, self.err)
            self.assertIn("ブラウザで次の URL を開き、サインインしてください（5 分以内）。", out)
            self.assertIn(f"To sign in {USER}, open this URL in a browser within 5 minutes:", out)
            self.assertIn("サインインしました。", out)
            self.assertIn("サインインしました。このページは閉じてかまいません。", page)
            (query,) = p.authorizations
            self.assertTrue(url.startswith(p.authorize_url + "?"), url)
            self.assertNotIn("scope", query)  # an endpoint of its own has no default scope
            redirect = query["redirect_uri"]
            self.assertRegex(redirect, r"^http://127\.0\.0\.1:\d+/$")
            # A client secret, where the credential store holds one, goes along.
            secret = self.stored_client_secret()
            extra = {"client_secret": secret} if secret else {}
            self.assertEqual(self.token_requests(p), [{
                "grant_type": "authorization_code", "code": p.auth_codes[0],
                "redirect_uri": redirect, "client_id": CLIENT_ID, **extra,
                "code_verifier": p.verifiers[0]}])
            self.assertRegex(p.verifiers[0], r"^[A-Za-z0-9_-]{43}$")
            self.assertEqual(self.stored_token(p), p.refresh.encode())
            # The next run sends with a token of the stored sign-in.
            used = p.refresh
            res, sessions = self.run_oauth(3, p, env=self.env)
            self.assertEqual(res.returncode, 0, self.err)
            self.assertEqual(self.record(), (0, b""))
            self.assertEqual(self.token_requests(p)[-1]["refresh_token"], used)
            self.assertEqual(self.stored_token(p), p.refresh.encode())
            expected = (b"user=" + USER.encode() + b"\x01auth=Bearer " + p.issued[-1].encode() +
                        b"\x01\x01")
            self.assertTrue(sessions[0].auth[0].initial == expected, "XOAUTH2 response")

    def test_login_refused_in_the_browser_stores_nothing(self):
        self.sign_in_env()
        with self.provider(4) as p:
            p.authorize_mode = "deny"
            res, out, page, _ = self.browser_login(4, p)
        self.assertEqual(res.returncode, EX_UNAVAILABLE, self.err)
        self.assertIn("サインインは拒否されました。", out)
        self.assertIn("サインインできませんでした。端末の表示を見てください。", page)
        self.assertIn("sign-in refused: access_denied", self.err)
        self.assertEqual(self.token_requests(p), [])
        self.assertIsNone(self.stored_token(p))
        self.assertFalse(self.exists("LOG.txt"))


class HostileSignInCases(SecretKept):
    """--login against a device endpoint whose numbers would keep it waiting,
    and beside a local process that plays the browser: each ends as it
    should, in bounded time. A fake provider on 127.0.0.5 and .6."""

    FIRST = 4

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"scripted": [addr(cls.FIRST + k) for k in range(1, 3)]})

    provider = OAuthCases.provider
    oauth_job = OAuthCases.oauth_job
    job = OAuthCases.job
    assert_nothing_secret = OAuthCases.assert_nothing_secret
    sign_in_env = OAuthCases.sign_in_env
    stored_token = OAuthCases.stored_token
    stored_client_secret = OAuthCases.stored_client_secret
    spawn_tolvex = OAuthCases.spawn_tolvex
    browser_login = OAuthCases.browser_login
    token_requests = OAuthCases.token_requests
    console = OAuthCases.console

    def test_login_ends_when_the_code_expires_whatever_the_interval(self):
        self.sign_in_env()
        for interval, life in [(3600, 5), (10 ** 9, 2), (2 ** 63 - 1, 3)]:
            with self.subTest(interval=interval), self.provider(1) as p:
                p.device_interval, p.device_expires_in = interval, life
                self.oauth_job(1, p, secret_line=False)
                with mock.patch.dict(os.environ, self.env):
                    t0 = time.monotonic()
                    res = self.run_tolvex(["--login"], timeout=30)
                    elapsed = time.monotonic() - t0
                self.err = res.stderr.decode("utf-8", "replace")
                self.assertEqual(res.returncode, EX_UNAVAILABLE, self.err)
                self.assertTrue(life - 0.5 <= elapsed < life + 5, elapsed)
                self.assertIn("コードの有効期限が切れました。", res.stdout.decode(self.console))
                self.assertIn("the code expired before the sign-in was completed", self.err)
                self.assertEqual([path for path, _ in p.requests], ["/devicecode"])
                self.assertIsNone(self.stored_token(p))
                self.assert_nothing_secret(res, p, command_holds_it=False)

    def test_browser_sign_in_outlasts_forged_requests_and_idle_connections(self):
        self.sign_in_env()
        answers = []

        def hostile(url):
            redirect = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)["redirect_uri"][0]
            port = urllib.parse.urlsplit(redirect).port
            connect = lambda: socket.create_connection(("127.0.0.1", port), timeout=10)
            first = connect()  # opened before 40 idle ones, used after them
            idle = [connect() for _ in range(40)]
            self.addCleanup(lambda: [s.close() for s in [first, *idle]])
            for target in ["/?error=x", "/?code=stolen&state=guess", "/?error=access_denied"]:
                conn = first if not answers else connect()
                conn.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
                answer = b""
                while chunk := conn.recv(4096):
                    answer += chunk
                conn.close()
                answers.append(answer.split(b"\r\n", 1)[0])

        with self.provider(2) as p:
            res, out, page, _ = self.browser_login(2, p, before_browser=hostile)
            self.assertEqual(answers, [b"HTTP/1.1 400 Bad Request"] * 3)
            self.assertEqual(res.returncode, 0, self.err)
            self.assertIn("サインインしました。このページは閉じてかまいません。", page)
            self.assertEqual(len(self.token_requests(p)), 1)
            self.assertEqual(self.stored_token(p), p.refresh.encode())


class DovecotOAuthCases(SecretKept):
    """Tokens checked by a real server: Postfix submission on 587 with
    Dovecot's oauth2 passdb, which asks the fake provider about each token
    by introspection. The provider serves on the peer's address."""

    FIRST = 249
    assert_nothing_secret = OAuthCases.assert_nothing_secret
    token_requests = OAuthCases.token_requests

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for tool in ("postfix", "dovecot", "openssl"):
            if not shutil.which(tool):
                raise AssertionError(f"{tool} is not installed (tools/install-deps.sh)")
        host = addr(cls.FIRST)
        cls.peer = SubmissionPeer(host, USER, "no-password-here",
                                  oauth2_url=f"https://{host}/introspect")
        cls.addClassCleanup(cls.peer.cleanup)
        cls.oauth = OAuthProvider(host, cls.peer.pki.cert("server"), cls.peer.pki.key("server"),
                                  CLIENT_ID, CLIENT_SECRET)
        cls.oauth.subject = USER
        cls.oauth.__enter__()
        cls.addClassCleanup(cls.oauth.__exit__, None, None, None)
        cls.peer.start()

    def send(self, aut):
        shutil.copy(self.peer.pki.ca, self.path("ca.pem"))
        self.write_command(["#LOC=client.tolvex.test", f"#HOS={addr(self.FIRST)}",
                            "#FRO=sender@example.jp", "#TO=taro@tolvex.test", "#SUB=トークン 表ソ能",
                            "#SEC=starttls", f"#USR={USER}", f"#OAU={self.oauth.url}",
                            f"#OID={CLIENT_ID}", f"#OSC={CLIENT_SECRET}", f"#AUT={aut}",
                            "#CAF=ca.pem", "", "トークンで送ります。"])
        mailbox = len(self.peer.delivered("taro"))
        mark = self.peer.log_mark()
        res = self.run_tolvex()
        self.err = res.stderr.decode("utf-8", "replace")
        self.assert_nothing_secret(res, self.oauth, command_holds_it=True)
        return res, mailbox, mark

    def test_dovecot_accepts_xoauth2_and_oauthbearer_tokens(self):
        for aut in ("xoauth2", "oauthbearer"):
            with self.subTest(aut):
                asked = len(self.oauth.requests)
                res, mailbox, mark = self.send(aut)
                self.assertEqual(res.returncode, 0, self.err + self.peer.log_text())
                self.assertEqual(self.record(), (0, b""))
                self.assert_clean_end()
                path = self.peer.wait_for_mail("taro", mailbox + 1)[mailbox]
                msg = parse(path)
                self.assertRegex(msg["Received"], r"\bwith ESMTPSA\b")
                self.assertEqual(msg["Subject"], "トークン 表ソ能")
                # One token fetched, then Dovecot asked about exactly that one.
                paths = [path for path, _ in self.oauth.requests[asked:]]
                self.assertEqual(paths, ["/token", "/introspect"])
                self.assertTrue(self.oauth.requests[-1][1].get("token") == self.oauth.issued[-1])
                counts = self.peer.wait_sessions(SUBMISSION, mark)
                self.assertEqual([c.get("auth") for c in counts], ["1"], counts)
                os.remove(self.path("LOG.txt"))

    def test_token_of_another_user_is_refused_with_535_in_139(self):
        self.oauth.subject = "someone-else"
        try:
            res, mailbox, _ = self.send("auto")
        finally:
            self.oauth.subject = USER
        self.assertEqual(res.returncode, EX_NOPERM, self.err)
        (_, state, text), = self.log_records()
        self.assertEqual(state, 139, text)
        self.assertTrue(text.startswith(b"535 "), text)
        self.assertEqual(len(self.peer.delivered("taro")), mailbox)


class EchoedSecretsCases(SecretKept):
    """Peers that echo what they were sent: a server answering AUTH with the
    credential lines it received and the secret in them, a token endpoint
    repeating the request (the form as received and every value decoded)
    in its error_description. Every form shows as *** in LOG.txt, on
    standard error and in --probe's output. Also what the token path says
    of a token it will not use, a redirect and a corrupt sign-in store file.

    Addresses 127.0.0.2-4 (provider and server share one address).
    """

    FIRST = 1

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"scripted": [addr(cls.FIRST + k) for k in range(1, 4)]})

    server = ScriptedTlsCases.server
    job = ScriptedTlsCases.job
    converse = ScriptedTlsCases.converse
    assert_no_credentials_in_plain = ScriptedTlsCases.assert_no_credentials_in_plain
    provider = OAuthCases.provider
    oauth_job = OAuthCases.oauth_job
    run_oauth = OAuthCases.run_oauth
    assert_nothing_secret = OAuthCases.assert_nothing_secret
    sign_in_env = OAuthCases.sign_in_env
    console = OAuthCases.console

    def clear_log(self):
        if self.exists("LOG.txt"):
            os.remove(self.path("LOG.txt"))

    def store_sign_in(self, provider, content):
        """Writes the sign-in store file of the provider's key as tolvex
        --login would (0600 in a 0700 folder); returns its path."""
        key = f"{provider.url} {CLIENT_ID} {USER}"
        h = 14695981039346656037
        for c in key.encode():
            h = ((h ^ c) * 1099511628211) & (2 ** 64 - 1)
        folder = os.path.join(self.config, "tolvex")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        path = os.path.join(folder, f"signin-{h:016x}")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
            f.write(content(key))
        return path

    def test_server_echoing_the_credential_gets_stars_in_139(self):
        def echo(auth):
            return (b"535 5.7.8 not accepted: " + b" ".join(auth.encoded) + b" " +
                    (auth.password or b"") + b"\r\n")

        for name, k, aut in (("XOAUTH2 line and token", 1, "xoauth2"),
                             ("OAUTHBEARER line and token", 2, "oauthbearer"),
                             ("LOGIN lines and password", 3, None)):
            with self.subTest(name):
                self.clear_log()
                if aut:
                    with self.provider(k) as p:
                        res, sessions = self.run_oauth(k, p, [f"#AUT={aut}"],
                                                       tls_replies={"EHLO": BOTH, "AUTH": echo})
                    self.assertEqual(sessions[0].auth[0].mechanism, aut.upper())
                else:
                    res, session = self.converse(k, ["#SEC=starttls", "#AUT=login"],
                                                 replies={"EHLO": BEFORE_TLS},
                                                 tls_replies={"EHLO": UNDER_TLS, "AUTH": echo})
                    self.assertEqual(session.auth[0].mechanism, "LOGIN")
                text = self.assert_failed_in(res, 139, EX_NOPERM)
                self.assertRegex(text, rb"^535 5\.7\.8 not accepted: \*\*\* \*\*\*( \*\*\*)?\r\n$")
                self.assertIn(b"state 139: 535 5.7.8 not accepted: ***", res.stderr)

    def test_token_endpoint_echoing_the_request_gets_stars(self):
        received = "received grant_type={}&client_id=" + CLIENT_ID + "&{}=*** = {} " + CLIENT_ID + " ***"
        self.sign_in_env()
        with self.provider(1) as p:
            p.mode = "echo"
            # Client credentials: the client secret, form-encoded and decoded.
            res, sessions = self.run_oauth(1, p)
            text = self.assert_failed_in(res, 105)
            expected = received.format("client_credentials", "client_secret", "client_credentials")
            self.assertEqual(text, b"token request refused: invalid_request: " + expected.encode())
            self.assertIn(expected, self.err)
            self.assertEqual(sessions, [])
            # --probe prints the same refusal.
            res, _ = self.run_oauth(1, p, args=["--probe"])
            self.assertEqual(res.returncode, EX_UNAVAILABLE)
            self.assertIn(f"Token:       token request refused: invalid_request: {expected}\n",
                          res.stdout.decode("utf-8").replace("\r\n", "\n"))
            # The refresh grant of a stored sign-in: the refresh token.
            refresh = "rt-" + "Kq7echo" * 6
            p.refresh = refresh
            p.refreshes.append(refresh)
            self.store_sign_in(p, lambda key: f"{key}\n{refresh}\n".encode())
            self.clear_log()
            res, sessions = self.run_oauth(1, p, env=self.env)
            text = self.assert_failed_in(res, 105)
            expected = received.format("refresh_token", "refresh_token", "refresh_token")
            self.assertTrue(text.startswith(b"token request refused: invalid_request: " +
                                            expected.encode()), text)
            # --login's device code, polled for at the token endpoint.
            res, sessions = self.run_oauth(1, p, env=self.env, args=["--login"])
            self.assertEqual(res.returncode, EX_UNAVAILABLE, self.err)
            grant = "urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code"
            self.assertIn("sign-in refused: invalid_request: " + received.format(
                grant, "device_code", "urn:ietf:params:oauth:grant-type:device_code"), self.err)
            self.assertEqual([path for path, _ in p.requests[-2:]], ["/devicecode", "/token"])

    def test_token_path_names_what_came_and_connects_nowhere(self):
        for mode, pattern in (
                ("bad_token", rb"^token request refused: malformed_reply: the access_token holds "
                              rb"characters a bearer token cannot have \(RFC 6750 b64token\)$"),
                ("redirect", rb"^token request refused: http_302: the token endpoint answered "
                             rb"HTTP 302, a redirect \(redirects are not followed\)$")):
            with self.subTest(mode), self.provider(2) as p:
                self.clear_log()
                p.mode = mode
                res, sessions = self.run_oauth(2, p)
                self.assertRegex(self.assert_failed_in(res, 105), pattern)
                self.assertEqual(sessions, [], "connected without a usable token")
                self.assertEqual([path for path, _ in p.requests], ["/token"])

    def test_corrupt_sign_in_store_file_is_named_not_a_missing_secret(self):
        self.sign_in_env()
        with self.provider(3) as p:
            path = self.store_sign_in(p, lambda key: b"\x00\x01 not a sign-in")
            res, sessions = self.run_oauth(3, p, env=self.env)
            self.assertEqual(res.returncode, 66, self.err)
            self.assertIn(f"the sign-in store {path} is corrupt: ", self.err)
            self.assertIn(": run tolvex --login in this folder again", self.err)
            self.assertNotIn("client secret", self.err)
            self.assertEqual((sessions, p.requests), ([], []))
        self.assertFalse(self.exists("LOG.txt"))


class ServiceAccountCases(SecretKept):
    """#OSA: a service account key file (a key made for the class), its
    assertion checked by the fake endpoint (signature against the public
    half, claims), the token in XOAUTH2; key files refused at start-up;
    neither the key nor an assertion anywhere the program writes."""

    FIRST = 134
    EMAIL = "mailer@tolvex-e2e.iam.gserviceaccount.test"
    console = "utf-8"  # what standard output and error are written in

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"scripted": [addr(cls.FIRST + k) for k in (1, 2)]})
        for name in ("key", "other"):
            _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                     "-out", f"{name}.pem", cwd=folder)
        _openssl("pkey", "-in", "key.pem", "-pubout", "-out", "public.pem", cwd=folder)
        cls.public = os.path.join(folder, "public.pem")
        cls.keys = {n: open(os.path.join(folder, f"{n}.pem")).read() for n in ("key", "other")}

    server = ScriptedTlsCases.server
    job = ScriptedTlsCases.job
    assert_no_credentials_in_plain = ScriptedTlsCases.assert_no_credentials_in_plain
    provider = OAuthCases.provider
    run_oauth = OAuthCases.run_oauth
    token_requests = OAuthCases.token_requests

    def key_file(self, token_uri, key="key", **changes):
        data = {"type": "service_account", "project_id": "tolvex-e2e", "private_key_id": "k1",
                "private_key": self.keys[key], "client_email": self.EMAIL,
                "token_uri": token_uri, **changes}
        self.write("sa 表.json", json.dumps({k: v for k, v in data.items() if v is not None})
                   .encode())

    def oauth_job(self, k, provider, *directives, secret_line=True):
        provider.service_account = ServiceAccount(self.EMAIL, self.public, USER)
        self.job(k, "#SEC=starttls", "#OSA=sa 表.json", *directives, password=False)

    def assert_nothing_secret(self, res, provider, command_holds_it):
        OAuthCases.assert_nothing_secret(self, res, provider, command_holds_it)
        self.assertTrue(provider.assertions)
        # A line of the key's body, and each assertion, outside the key file.
        body = [line for line in self.keys["key"].splitlines() if "-----" not in line]
        places = {"standard output": res.stdout, "standard error": res.stderr}
        for name in os.listdir(self.dir):
            if name != "sa 表.json" and os.path.isfile(self.path(name)):
                places[name] = self.read(name)
        for where, data in places.items():
            self.assertFalse(body[3].encode() in data, f"the private key shows in {where}")
            for i, assertion in enumerate(provider.assertions):
                for t in all_traces(assertion):
                    self.assertFalse(t in data, f"assertion {i + 1} shows in {where}")

    def test_signed_assertion_then_xoauth2_delivers(self):
        with self.provider(1) as p:
            self.key_file(p.url)
            res, sessions = self.run_oauth(1, p)
        self.assertEqual(res.returncode, 0, self.err)
        self.assertEqual(self.record(), (0, b""))
        self.assertEqual(p.jwt_problems, [[]])
        self.assertEqual([sorted(f) for f in self.token_requests(p)],
                         [["assertion", "grant_type"]])
        auth = sessions[0].auth[0]
        self.assertEqual(auth.mechanism, "XOAUTH2")
        expected = b"user=" + USER.encode() + b"\x01auth=Bearer " + p.issued[0].encode() + b"\x01\x01"
        self.assertTrue(auth.initial == expected, "XOAUTH2 initial response")

    def test_key_of_another_account_is_refused_by_the_endpoint_in_105(self):
        with self.provider(2) as p:
            self.key_file(p.url, key="other")
            res, sessions = self.run_oauth(2, p)
        self.assertEqual(p.jwt_problems, [["signature"]])
        text = self.assert_failed_in(res, 105)
        self.assertEqual(text, b"token request refused: invalid_grant: bad signature")
        self.assertEqual(sessions, [])

    def test_check_shows_the_account_and_key_files_that_are_none_are_refused(self):
        uri = f"https://{addr(self.FIRST + 2)}/token"
        self.job(2, "#SEC=starttls", "#OSA=sa 表.json", password=False)
        self.key_file(uri)
        res = self.run_tolvex(["--check"])
        out = res.stdout.decode(self.console)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn(f"token from {uri} (service account {self.EMAIL} of sa 表.json, "
                      "scope https://mail.google.com/)", out)
        self.assertNotIn("PRIVATE", out)
        pkcs1 = self.keys["key"].replace("PRIVATE KEY", "RSA PRIVATE KEY")
        for changes, status, why in (
                ({"type": "authorized_user"}, EX_DATAERR, b"is not a service account key"),
                ({"client_email": None}, EX_DATAERR, b'has no "client_email"'),
                ({"private_key": pkcs1}, EX_DATAERR, b"holds no PEM PKCS#8 private key"),
                (None, 66, b"")):
            with self.subTest(why):
                os.remove(self.path("sa 表.json"))
                if changes is not None:
                    self.key_file(uri, **changes)
                res = self.run_tolvex()
                self.assertEqual(res.returncode, status, res.stderr)
                self.assertIn('"#OSA" file sa 表.json: ', res.stderr.decode(self.console))
                self.assertIn(why, res.stderr)
                self.assertNotIn(b"MII", res.stderr)
                self.assertFalse(self.exists("LOG.txt"))
                self.key_file(uri)


class OAuth(OAuthCases, E2ETest):
    pass


class HostileSignIn(HostileSignInCases, E2ETest):
    pass


class EchoedSecrets(EchoedSecretsCases, E2ETest):
    pass


class DovecotOAuth(DovecotOAuthCases, E2ETest):
    pass


class ServiceAccountE2E(ServiceAccountCases, E2ETest):
    pass


if __name__ == "__main__":
    unittest.main()
