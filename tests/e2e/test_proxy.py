"""#PRX: SMTP and the token requests through an HTTP CONNECT proxy and a
SOCKS5 proxy (proxy_server.py), with and without their authentication;
STARTTLS through the tunnel checked against the mail server's name; the
refusals logged in 112 with their exit statuses whatever #SEC says; the
proxy's password (TOLVEX_PROXY_PASSWORD) nowhere but in the handshake.

Addresses 127.0.0.170-173: the proxy on 170 (and a port of it where none
listens), servers on 171-173 (173 also the fake OAuth provider).
"""

import os
import unittest
from unittest import mock

from harness import E2ETest, addr
from oauth_provider import OAuthProvider
from proxy_server import Proxy
from test_oauth import BOTH, CLIENT_ID, CLIENT_SECRET
from test_submission import BEFORE_TLS, EX_NOPERM, EX_TEMPFAIL, EX_UNAVAILABLE, UNDER_TLS, ScriptedTlsJobs

PROXY_USER = "px-user"
PROXY_SECRET = "Px7-tolvex-proxy-secret"
PORTS = {"http": 8080, "socks5": 1080}


class ProxyCases(ScriptedTlsJobs):
    FIRST = 169
    ADDRESSES = 4
    console = "utf-8"  # what standard output is written in
    token_proxy_user = PROXY_USER  # the token request's proxy asks for Basic credentials
    https_proxy_variable = True  # without #PRX, HTTPS follows https_proxy

    def proxy(self, kind, user=None, refuse=None, at=1):
        return Proxy(addr(self.FIRST + at), PORTS[kind], kind, user,
                     PROXY_SECRET if user else None, refuse)

    def proxied(self, k, url, tls, *directives):
        if tls:
            self.job(k, "#SEC=starttls", f"#PRX={url}", *directives)
        else:
            self.write_command([f"#HOS={addr(self.FIRST + k)}", "#FRO=sender@example.jp",
                                "#TO=a@example.jp", "#SUB=件名 表ソ", f"#PRX={url}", *directives,
                                "", "本文 表示と能力"])

    def run_proxied(self, args=(), password=PROXY_SECRET, env=None):
        with mock.patch.dict(os.environ, {"TOLVEX_PROXY_PASSWORD": password, **(env or {})}):
            res = self.run_tolvex(list(args))
        self.assert_secret_kept(res, PROXY_SECRET, command_holds_it=False)
        self.err = res.stderr.decode("utf-8", "replace")
        return res

    def test_smtp_plain_and_starttls_through_each_proxy(self):
        for k, kind, user, tls in ((2, "http", None, False), (3, "http", PROXY_USER, True),
                                   (4, "socks5", None, True), (2, "socks5", PROXY_USER, False)):
            with self.subTest(kind=kind, user=user, tls=tls):
                with self.proxy(kind, user) as p, self.server(
                        k, port=587 if tls else 25, replies={"EHLO": BEFORE_TLS},
                        tls_replies={"EHLO": UNDER_TLS}) as srv:
                    self.proxied(k, p.url(), tls)
                    res = self.run_proxied()
                    if tls:
                        self.assert_secret_kept(res, "Kq7-tolvex-Zr9w-secret", True)
                self.assertEqual(res.returncode, 0, self.err)
                self.assertEqual(self.record(), (0, b""))
                self.assertEqual(p.asked, [(addr(self.FIRST + k), 587 if tls else 25)])
                if kind == "http":
                    self.assertEqual(p.hosts, [f"{addr(self.FIRST + k)}:{587 if tls else 25}"])
                self.assertEqual(p.auth, [True] if user else [])
                self.assertEqual((srv.errors, p.errors), ([], []))
                s = srv.sessions[0]
                self.assertTrue(s.complete)
                self.assertEqual(s.verbs()[:3], ["EHLO", "STAR", "EHLO"] if tls else
                                 ["HELO", "MAIL", "RCPT"])
                self.assertEqual(bool(s.tls), tls)
                os.remove(self.path("LOG.txt"))

    def token_run(self, p, prx, env=None):
        """A delivery with OAuth on FIRST+3; the proxy `p` on hand."""
        k = 3
        with OAuthProvider(addr(self.FIRST + k), self.pki.cert("scripted"),
                           self.pki.key("scripted"), CLIENT_ID, CLIENT_SECRET) as provider, \
                self.server(k, replies={"EHLO": BEFORE_TLS}, tls_replies={"EHLO": BOTH}) as srv:
            self.job(k, "#SEC=starttls", f"#OAU={provider.url}", f"#OID={CLIENT_ID}",
                     f"#OSC={CLIENT_SECRET}", *([f"#PRX={prx}"] if prx else []), password=False)
            res = self.run_proxied(env=env)
        self.assertEqual(res.returncode, 0, f"{self.err} {p.asked} {p.auth} {p.errors}")
        self.assertEqual(self.record(), (0, b""))
        self.assertEqual(len(provider.issued), 1)
        self.assertEqual(srv.sessions[0].auth[0].mechanism, "XOAUTH2")
        os.remove(self.path("LOG.txt"))
        return addr(self.FIRST + k)

    def test_token_request_goes_through_the_proxy_too(self):
        with self.proxy("http", self.token_proxy_user) as p:
            there = self.token_run(p, p.url())
        self.assertEqual(p.asked, [(there, 443), (there, 587)])
        self.assertEqual(p.auth, [True, True] if self.token_proxy_user else [])

    def test_without_prx_https_follows_https_proxy_and_none_turns_it_off(self):
        if not self.https_proxy_variable:
            self.skipTest("the system's proxy does not come from the environment here")
        with self.proxy("http") as p:
            env = {"https_proxy": p.url(), "HTTPS_PROXY": p.url(), "no_proxy": "", "NO_PROXY": ""}
            there = self.token_run(p, None, env)
            self.assertEqual(p.asked, [(there, 443)])  # SMTP connected directly
            self.token_run(p, "none", env)
            self.assertEqual(p.asked, [(there, 443)])

    def test_refusals_are_logged_in_112_with_their_status(self):
        cases = [
            # (proxy, the password given, state text, exit status)
            (("http", PROXY_USER, None), "wrong", rb"^proxy refused the tunnel: HTTP/1\.1 407 ",
             EX_NOPERM),
            (("http", None, b"HTTP/1.1 403 Forbidden"), None, rb"HTTP/1\.1 403 Forbidden$",
             EX_UNAVAILABLE),
            (("socks5", None, 4), None, rb"SOCKS5 reply 4 \(host unreachable\)$", EX_TEMPFAIL),
            (("socks5", PROXY_USER, None), "wrong", rb"refused the user and password$", EX_NOPERM),
        ]
        for (kind, user, refuse), password, pattern, status in cases:
            with self.subTest(kind=kind, refuse=refuse), self.proxy(kind, user, refuse) as p:
                self.proxied(2, p.url(), False)
                res = self.run_proxied(password=password or PROXY_SECRET)
                self.assertEqual(res.returncode, status, self.err)
                state, text = self.record()
                self.assertEqual(state, 112, text)
                self.assertRegex(text, pattern)
                self.assertIn("state 112", self.err)
                os.remove(self.path("LOG.txt"))
        # No proxy there at all: may pass later.
        self.proxied(2, f"http://{addr(self.FIRST + 1)}:8181", False)
        res = self.run_proxied()
        self.assertEqual(res.returncode, EX_TEMPFAIL, self.err)
        state, text = self.record()
        self.assertEqual(state, 112)
        self.assertRegex(text, rb"^proxy http://127\.0\.0\.\d+:8181 not reachable")

    def test_check_and_probe_name_the_proxy_never_its_password(self):
        with self.proxy("socks5", PROXY_USER) as p, self.server(
                3, replies={"EHLO": BEFORE_TLS}, tls_replies={"EHLO": UNDER_TLS}):
            self.proxied(3, p.url(), True)
            res = self.run_proxied(["--check"])
            self.assertEqual(res.returncode, 0, self.err)
            self.assertIn(f"Proxy:    {p.url()} (SOCKS5, the name resolved there), password from "
                          "TOLVEX_PROXY_PASSWORD\n", res.stdout.decode(self.console, "replace").replace("\r\n", "\n"))
            self.assertEqual(p.asked, [])
            res = self.run_proxied(["--probe"])
        out = res.stdout.decode(self.console, "replace").replace("\r\n", "\n")
        self.assertEqual(res.returncode, 0, out + self.err)
        self.assertIn(f"Via proxy:   {p.url()}: SOCKS5 reply 0 (succeeded)\n", out)
        self.assertEqual(p.asked, [(addr(self.FIRST + 3), 587)])


class Proxies(ProxyCases, E2ETest):
    pass


if __name__ == "__main__":
    unittest.main()
