"""Mail APIs as transports (#VIA=graph, #VIA=gmail, #API): a token from the
fake provider (oauth_provider.py), then the message handed to its fake
Graph or Gmail endpoint over HTTPS with the throwaway CA. Checked: the
path, the headers, the uploaded MIME (a Bcc line, else the bytes --check
--raw composes), the success, the error classes and their exit statuses,
Retry-After, the probe, and that no token or secret shows anywhere.

Addresses 127.0.0.190-192 (Linux), 197-199 (Wine).
"""

import base64
import json
import os
import re
import select
import shutil
import signal
import tempfile
import time
import unittest

from harness import E2ETest, addr
from oauth_provider import OAuthProvider
from proxy_server import Proxy
from test_oauth import CLIENT_ID, CLIENT_SECRET, OAuthCases
from test_pki import make_pki

MAILBOX = "info@example.jp"
GRAPH_PATH = f"/v1.0/users/{MAILBOX}/sendMail"
GMAIL_PATH = "/upload/gmail/v1/users/me/messages/send?uploadType=media"
BCC_LINE = b"Bcc: hidden@example.jp\r\n"
STAMPS = re.compile(rb"(?m)^(Date|Message-ID): [^\r]*\r\n")


class ApiCases:
    FIRST = 190
    tunnels = 2  # CONNECTs through #PRX for a token request and an upload
    console = OAuthCases.console

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"api": [addr(cls.FIRST + k) for k in range(3)]})

    assert_nothing_secret = OAuthCases.assert_nothing_secret

    def provider(self, k):
        return OAuthProvider(addr(self.FIRST + k), self.pki.cert("api"), self.pki.key("api"),
                             CLIENT_ID, CLIENT_SECRET)

    def job(self, p, via, *extra):
        shutil.copy(self.pki.ca, self.path("ca.pem"))
        self.write_command(["#LOC=client.tolvex.test", "#HOS=unused.example", "#SEC=starttls",
                            "#FRO=sender@example.jp", "#TO=a@example.jp",
                            "#BCC=hidden@example.jp", "#SUB=件名 表ソ", f"#USR={MAILBOX}",
                            f"#OAU={p.url}", f"#OID={CLIENT_ID}", f"#OSC={CLIENT_SECRET}",
                            "#CAF=ca.pem", f"#VIA={via}", f"#API=https://{p.address}", *extra,
                            "", "本文 表示と能力"])

    def run_api(self, k, via, *extra, args=(), replies=()):
        with self.provider(k) as p:
            p.api_replies = list(replies)
            self.job(p, via, *extra)
            res = self.run_tolvex(list(args))
        self.err = res.stderr.decode("utf-8", "replace")
        self.assert_nothing_secret(res, p, command_holds_it=True)
        for data in (res.stdout, res.stderr, self.read("LOG.txt") if self.exists("LOG.txt")
                     else b""):
            self.assertNotIn(b"Bearer", data)
        return res, p

    def composed(self):
        """The message --check --raw composes for the same job, without the
        end-of-data line that only SMTP takes."""
        res = self.run_tolvex(["--check", "--raw"])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertTrue(res.stdout.endswith(b"\r\n.\r\n"))
        return STAMPS.sub(b"", res.stdout[:-3])

    def test_each_api_takes_the_mime_with_its_bcc_line(self):
        # Gmail's through #PRX: the token request and the upload both tunnel.
        for k, via, path, kind, proxied in ((0, "graph", GRAPH_PATH, "text/plain", False),
                                            (1, "gmail", GMAIL_PATH, "message/rfc822", True)):
            with self.subTest(via=via), Proxy(addr(self.FIRST + 2), 8080, "http") as px:
                res, p = self.run_api(k, via, *([f"#PRX={px.url()}"] if proxied else []))
                self.assertEqual(px.asked, [(addr(self.FIRST + k), 443)] * (self.tunnels * proxied))
                self.assertEqual(res.returncode, 0, self.err)
                self.assertEqual(self.log_records()[0][1:], (0, b""))
                self.assertEqual(len(p.api_requests), 1)
                method, got_path, headers, body, valid = p.api_requests[0]
                self.assertEqual((method, got_path, headers["Content-Type"], valid),
                                 ("POST", path, kind, True))
                mime = base64.b64decode(body, validate=True) if via == "graph" else body
                self.assertTrue(mime.startswith(BCC_LINE), mime[:80])
                self.assertEqual(STAMPS.sub(b"", mime[len(BCC_LINE):]), self.composed())
                scope = {"graph": "https://graph.microsoft.com/.default",
                         "gmail": "https://www.googleapis.com/auth/gmail.send"}[via]
                self.assertEqual([f["scope"] for path_, f in p.requests if path_ == "/token"],
                                 [scope])
                self.assertFalse(self.exists("TEMP.TXT"))

    def test_a_large_message_goes_to_graph_by_draft_and_upload_sessions(self):
        data = bytes(range(256)) * (5 * 4096 + 3)  # 5 MiB and 768 bytes
        self.write("big.bin", data)
        res, p = self.run_api(0, "graph", "#ATT=big.bin")
        self.assertEqual(res.returncode, 0, self.err)
        calls = [(m, path.replace(f"https://{p.address}", "")) for m, path, *_ in p.api_requests]
        draft = f"/v1.0/users/{MAILBOX}/messages/AAMkADraft="
        session = p.api_requests[2][1]
        self.assertEqual(calls, [("POST", f"/v1.0/users/{MAILBOX}/messages"),
                                 ("POST", draft + "/attachments/createUploadSession"),
                                 ("PUT", session), ("PUT", session), ("POST", draft + "/send")])
        self.assertEqual([r[4] for r in p.api_requests], [True, True, False, False, True])
        mime = base64.b64decode(p.api_requests[0][3], validate=True)
        self.assertTrue(mime.startswith(BCC_LINE))
        self.assertNotIn(b"big.bin\"\r\n", mime)
        self.assertTrue(mime.endswith(b"\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n"))
        item = json.loads(p.api_requests[1][3])["AttachmentItem"]
        self.assertEqual((item["name"], item["size"]), ("big.bin", len(data)))
        self.assertEqual([r[2]["Content-Range"] for r in p.api_requests[2:4]],
                         [f"bytes 0-3932159/{len(data)}",
                          f"bytes 3932160-{len(data) - 1}/{len(data)}"])
        self.assertEqual(p.api_requests[2][3] + p.api_requests[3][3], data)

    def test_refusals_are_logged_in_106_with_their_exit_status(self):
        graph_error = {"error": {"code": "ErrorAccessDenied", "message": "Access\r\nis denied."}}
        gmail_error = {"error": {"code": 503, "message": "Backend Error", "status": "UNAVAILABLE"}}
        cases = (
            ("graph", (403, graph_error, {}), 77,
             rb"Microsoft Graph: HTTP 403 ErrorAccessDenied: Access\\r\\nis denied\."),
            ("gmail", (503, gmail_error, {}), 75,
             rb"the Gmail API: HTTP 503 503 \(UNAVAILABLE\): Backend Error"),
            ("graph", (400, {"error": {"code": "ErrorInvalidMimeContent", "message": "bad"}}, {}),
             69, rb"HTTP 400 ErrorInvalidMimeContent: bad"),
        )
        for via, reply, status, record in cases:
            with self.subTest(via=via, status=reply[0]):
                if self.exists("LOG.txt"):
                    os.remove(self.path("LOG.txt"))
                res, p = self.run_api(2, via, replies=[reply])
                self.assertEqual(res.returncode, status, self.err)
                [(_, state, text)] = self.log_records()
                self.assertEqual(state, 106)
                self.assertRegex(text, record)
                self.assertIn("state 106", self.err)

    def test_probe_obtains_a_token_and_sends_nothing(self):
        res, p = self.run_api(0, "graph", args=["--probe"])
        out = res.stdout.decode(self.console)
        self.assertEqual(res.returncode, 0, self.err)
        self.assertIn(f"Endpoint:    Microsoft Graph, POST https://{p.address}{GRAPH_PATH}", out)
        self.assertIn("Grants:      (the token does not say)", out)
        self.assertEqual(p.api_requests, [])
        self.job(p, "gmail")
        res = self.run_tolvex(["--check"])
        self.assertIn(f"Server:   the Gmail API, POST https://{p.address}{GMAIL_PATH} "
                      "(#HOS, #POR, #SEC and #AUT unused)", res.stdout.decode(self.console))


class Api(ApiCases, E2ETest):
    # A signal ends the wait (Linux).
    def test_retry_after_longer_than_the_interval_is_waited_for(self):
        with self.provider(1) as p:
            p.api_replies = [(429, None, {"Retry-After": "150"})]
            self.job(p, "graph", "#RTY=1,1")
            proc = self.spawn()
            seen = b""
            deadline = time.monotonic() + 30
            while b"trying again" not in seen and time.monotonic() < deadline:
                if select.select([proc.stderr], [], [], 1)[0]:
                    seen += os.read(proc.stderr.fileno(), 4096)
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=30)
        self.assertIn(b"HTTP 429 (attempt 1); trying again in 3 minutes", seen)
        self.assertEqual(proc.returncode, 143)
        self.assertEqual([r[1] for r in self.log_records()], [106])


if __name__ == "__main__":
    unittest.main()
