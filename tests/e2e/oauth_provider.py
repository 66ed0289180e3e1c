"""A fake OAuth 2.0 provider for the end-to-end tests: HTTPS on a loopback
address with a certificate of the throwaway CA (test_pki.py), one client.

  POST /token   grant_type=client_credentials (client id and secret)
                grant_type=refresh_token (the refresh token rotates: each
                  use returns a new one and retires the old)
                grant_type=urn:ietf:params:oauth:grant-type:device_code
                  (authorization_pending, then slow_down, then the tokens;
                  expired_token once `device_expired` is set)
  POST /devicecode  client_id, scope -> a device code, the user code
                ("TOLV-EX42"), `device_interval` seconds between polls and
                `device_expires_in` seconds of life
  POST /introspect  token=... -> {"active": bool, ...} (RFC 7662)
  GET /authorize  the authorization code grant with PKCE: checks the client
                id, the S256 challenge, the state and a loopback redirect
                URI, then redirects to it with a code (or, with
                `authorize_mode` "deny", with error=access_denied); the
                code is exchanged once at /token (grant_type=
                authorization_code) for the verifier of its challenge and
                the same redirect URI
                grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer (a
                  service account, `service_account` set): the assertion's
                  RS256 signature checked against the public key by
                  `openssl dgst -verify`, its header and claims against the
                  account, the subject, the scope, this endpoint and the
                  time; what was wrong kept in `jwt_problems` and answered
                  400 invalid_grant

It also serves the mail APIs a token is for, each request checked for a
bearer token it issued (401 otherwise):
  POST /v1.0/users/{mailbox}/sendMail  Microsoft Graph: 202
  POST /upload/gmail/v1/users/me/messages/send?uploadType=media  the Gmail
                API: 200 with the message's id
  Graph's large way: POST /v1.0/users/{mailbox}/messages (a draft: 201 with
                its id), POST …/messages/{id}/attachments/createUploadSession
                (201 with an uploadUrl here, /upload/session-N, taken by PUT
                without a token), POST …/messages/{id}/send (202)
Each is kept in `api_requests` as (method, path, headers, body, token
valid); `api_replies` scripts (status, JSON or None, extra headers) to
answer instead, one per request, until it runs out.

`mode` changes the token endpoint's behaviour: "ok", "refuse" (400
invalid_client with a description), "stall" (answers nothing for
`stall_seconds`), "malformed" (200 with a body that is not JSON), "echo"
(400 whose error_description repeats the request: its body as received and
every value decoded), "redirect" (302 to `redirect_to`), "bad_token" (200
with `bad_token` as the access token), "busy" (503 temporarily_unavailable).
Every request is kept in `requests` as (path, form dict) and its time in
`times`; every access token issued in `issued`, every refresh token in
`refreshes`, every assertion in `assertions`.
"""

import base64
import hashlib
import http.server
import json
import os
import secrets
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.parse

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
JWT_GRANT = "urn:ietf:params:oauth:grant-type:jwt-bearer"


class ServiceAccount:
    """What the endpoint expects of a signed assertion: the issuer, the
    public key (a PEM file) it is checked with, the subject and the scope."""

    def __init__(self, email, public_key, subject, scope="https://mail.google.com/"):
        self.email, self.public_key = email, public_key
        self.subject, self.scope = subject, scope


def _b64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class OAuthProvider:
    def __init__(self, address, cert, key, client_id, client_secret, port=443,
                 expires_in=3600, refresh_token=None):
        self.address, self.port = address, port
        self.client_id, self.client_secret = client_id, client_secret
        self.expires_in = expires_in
        self.mode = "ok"
        self.stall_seconds = 40
        self.requests = []
        self.issued = []
        self.refresh = refresh_token   # the one refresh token that is valid now
        self.device_polls = 0
        self.device_interval = 1
        self.device_expires_in = 900
        self.device_code = "dc-" + secrets.token_urlsafe(24)
        self.times = []
        self.refreshes = [refresh_token] if refresh_token else []
        self.device_expired = False
        self.subject = None  # the user introspection names for a live token
        self.authorize_mode = "ok"
        self.codes = {}      # authorization code -> (challenge, redirect URI), until used
        self.auth_codes = []  # every authorization code issued
        self.verifiers = []   # every code_verifier sent
        self.authorizations = []  # the query of each GET /authorize
        self.redirect_to = f"https://{address}/elsewhere"
        self.bad_token = "at-\x01auth=Bearer x"
        self.service_account = None
        self.assertions = []
        self.jwt_problems = []
        self.api_requests = []
        self.api_replies = []
        provider = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def parse_request(self):
                # The absolute form a client may send through a proxy
                # (WinHTTP under Wine does, inside the tunnel) names the
                # same resource (RFC 9112 3.2.2).
                if not super().parse_request():
                    return False
                if self.path.startswith(("https://", "http://")):
                    self.path = "/" + self.path.split("/", 3)[3] if self.path.count("/") > 2 else "/"
                return True

            def do_GET(self):
                path, _, query = self.path.partition("?")
                form = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
                provider.requests.append((path, form))
                provider.times.append(time.monotonic())
                status, where = provider.authorize(path, form)
                self.send_response(status)
                if status == 302:
                    self.send_header("Location", where)
                payload = b"" if status == 302 else where.encode()
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            def do_PUT(self):
                provider.serve_api(self)

            def do_POST(self):
                if self.path.startswith(("/v1.0/", "/upload/")):
                    provider.serve_api(self)
                    return
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode("ascii", "replace")
                form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True))
                provider.requests.append((self.path, form))
                provider.times.append(time.monotonic())
                if provider.mode == "echo" and self.path == "/token":
                    status, data = 400, {"error": "invalid_request", "error_description":
                                         f"received {body} = {' '.join(form.values())}"}
                else:
                    status, data = provider.answer(self.path, form)
                if data is None:
                    return
                payload = data if isinstance(data, bytes) else json.dumps(data).encode()
                self.send_response(status)
                if status == 302:
                    self.send_header("Location", provider.redirect_to)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        self.httpd = http.server.ThreadingHTTPServer((address, port), Handler)
        self.httpd.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    @property
    def url(self):
        port = "" if self.port == 443 else f":{self.port}"
        return f"https://{self.address}{port}/token"

    @property
    def authorize_url(self):
        port = "" if self.port == 443 else f":{self.port}"
        return f"https://{self.address}{port}/authorize"

    def authorize(self, path, q):
        """The user's browser at the authorization endpoint: (status, the
        redirect's Location or the reason it is refused)."""
        self.authorizations.append(q)
        if path != "/authorize":
            return 404, "not found"
        redirect = q.get("redirect_uri", "")
        problems = [what for what, ok in (
            ("response_type", q.get("response_type") == "code"),
            ("client_id", q.get("client_id") == self.client_id),
            ("redirect_uri", redirect.startswith("http://127.0.0.1:")),
            ("code_challenge_method", q.get("code_challenge_method") == "S256"),
            ("code_challenge", len(q.get("code_challenge", "")) == 43),
            ("state", len(q.get("state", "")) >= 16)) if not ok]
        if problems:
            return 400, "bad " + ", ".join(problems)
        if self.authorize_mode == "deny":
            answer = {"error": "access_denied", "state": q["state"]}
        else:
            code = "4/ac-" + secrets.token_urlsafe(24)
            self.codes[code] = (q["code_challenge"], redirect)
            self.auth_codes.append(code)
            answer = {"code": code, "state": q["state"], "scope": q.get("scope", "")}
        return 302, redirect + "?" + urllib.parse.urlencode(answer)

    def serve_api(self, h):
        body = h.rfile.read(int(h.headers.get("Content-Length", "0")))
        auth = h.headers.get("Authorization", "")
        valid = auth.startswith("Bearer ") and auth[7:] in self.issued
        self.api_requests.append((h.command, h.path, dict(h.headers), body, valid))
        path = h.path.partition("?")[0]
        if self.api_replies:
            status, data, extra = self.api_replies.pop(0)
        elif h.command == "PUT":  # an upload session's URL is its own authority
            status, data, extra = 200, {"nextExpectedRanges": []}, {}
        elif not valid:
            status, extra = 401, {}
            data = {"error": {"code": "InvalidAuthenticationToken",
                              "message": "Access token validation failure."}}
        elif path.endswith("/messages"):
            status, data, extra = 201, {"id": "AAMkADraft="}, {}
        elif path.endswith("/createUploadSession"):
            session = f"https://{self.address}/upload/session-{len(self.api_requests)}"
            status, data, extra = 201, {"uploadUrl": session}, {}
        elif h.path.startswith("/v1.0/"):
            status, data, extra = 202, None, {}
        else:
            status, data, extra = 200, {"id": "18c2e4", "threadId": "18c2e4"}, {}
        payload = b"" if data is None else json.dumps(data).encode()
        h.send_response(status)
        for name, value in extra.items():
            h.send_header(name, value)
        h.send_header("Content-Type", "application/json")
        h.send_header("Content-Length", str(len(payload)))
        h.end_headers()
        h.wfile.write(payload)

    def _code_grant(self, form):
        verifier = form.get("code_verifier", "")
        self.verifiers.append(verifier)
        challenge, redirect = self.codes.pop(form.get("code"), (None, None))
        digest = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest())
        if (challenge is None or form.get("redirect_uri") != redirect
                or digest.rstrip(b"=").decode() != challenge):
            return 400, {"error": "invalid_grant", "error_description": "Bad Request"}
        if "client_secret" in form and form["client_secret"] != self.client_secret:
            return 401, {"error": "invalid_client"}
        return 200, {**self._token(), "refresh_token": self._refresh()}

    def _signature_holds(self, signed, signature):
        with tempfile.TemporaryDirectory(prefix="tolvex-jwt-") as folder:
            data, sig = os.path.join(folder, "data"), os.path.join(folder, "sig")
            with open(data, "wb") as f:
                f.write(signed)
            with open(sig, "wb") as f:
                f.write(signature)
            return subprocess.run(["openssl", "dgst", "-sha256", "-verify",
                                   self.service_account.public_key, "-signature", sig, data],
                                  capture_output=True, timeout=30).returncode == 0

    def _jwt_grant(self, assertion):
        self.assertions.append(assertion)
        account = self.service_account
        parts = assertion.split(".")
        try:
            header, claims = (json.loads(_b64url(p)) for p in parts[:2])
            signature = _b64url(parts[2])
        except (ValueError, IndexError):
            self.jwt_problems.append(["form"])
            return 400, {"error": "invalid_grant", "error_description": "not a JWT"}
        now = time.time()
        iat, exp = claims.get("iat", 0), claims.get("exp", 0)
        problems = [what for what, ok in (
            ("account", account is not None),
            ("parts", len(parts) == 3 and "=" not in assertion),
            ("header", header == {"alg": "RS256", "typ": "JWT"}),
            ("iss", account and claims.get("iss") == account.email),
            ("sub", account and claims.get("sub") == account.subject),
            ("scope", account and claims.get("scope") == account.scope),
            ("aud", claims.get("aud") == self.url),
            ("iat", isinstance(iat, int) and abs(iat - now) < 300),
            ("exp", isinstance(exp, int) and 0 < exp - iat <= 3600),
            ("signature", account and self._signature_holds(
                ".".join(parts[:2]).encode(), signature))) if not ok]
        self.jwt_problems.append(problems)
        if problems:
            return 400, {"error": "invalid_grant",
                         "error_description": "bad " + ", ".join(problems)}
        return 200, self._token()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()

    def _token(self):
        token = "at-" + secrets.token_urlsafe(24)
        self.issued.append(token)
        return {"access_token": token, "token_type": "Bearer", "expires_in": self.expires_in}

    def _refresh(self):
        self.refresh = "rt-" + secrets.token_urlsafe(24)
        self.refreshes.append(self.refresh)
        return self.refresh

    def answer(self, path, form):
        if path == "/devicecode":
            if form.get("client_id") != self.client_id:
                return 400, {"error": "invalid_client"}
            return 200, {"device_code": self.device_code, "user_code": "TOLV-EX42",
                         "verification_uri": f"https://{self.address}/device",
                         "expires_in": self.device_expires_in, "interval": self.device_interval}
        if path == "/introspect":
            live = form.get("token") in self.issued
            return 200, {"active": True, "username": self.subject} if live else {"active": False}
        if path != "/token":
            return 404, {"error": "not_found"}
        if self.mode == "stall":
            time.sleep(self.stall_seconds)
            return 200, None
        if self.mode == "malformed":
            return 200, b"<html>this is not JSON"
        if self.mode == "redirect":
            return 302, b""
        if self.mode == "bad_token":
            self.issued.append(self.bad_token)
            return 200, {"access_token": self.bad_token, "token_type": "Bearer", "expires_in": 60}
        if self.mode == "busy":
            return 503, {"error": "temporarily_unavailable"}
        if form.get("grant_type") == JWT_GRANT and self.mode == "ok":
            return self._jwt_grant(form.get("assertion", ""))
        if self.mode == "refuse" or form.get("client_id") != self.client_id:
            return 400, {"error": "invalid_client",
                         "error_description": "AADSTS7000215: Invalid client secret provided."}
        grant = form.get("grant_type")
        if grant == "client_credentials":
            if form.get("client_secret") != self.client_secret:
                return 401, {"error": "invalid_client",
                             "error_description": "AADSTS7000215: Invalid client secret provided."}
            return 200, self._token()
        if grant == "refresh_token":
            if self.refresh is None or form.get("refresh_token") != self.refresh:
                return 400, {"error": "invalid_grant",
                             "error_description": "AADSTS700082: The refresh token has expired."}
            return 200, {**self._token(), "refresh_token": self._refresh()}
        if grant == "authorization_code":
            return self._code_grant(form)
        if grant == DEVICE_GRANT:
            if self.device_expired:
                return 400, {"error": "expired_token"}
            if form.get("device_code") != self.device_code:
                return 400, {"error": "invalid_grant"}
            self.device_polls += 1
            if self.device_polls == 1:
                return 400, {"error": "authorization_pending"}
            if self.device_polls == 2:
                return 400, {"error": "slow_down"}
            return 200, {**self._token(), "refresh_token": self._refresh()}
        return 400, {"error": "unsupported_grant_type"}
