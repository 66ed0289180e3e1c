"""Mail submission over TLS with SMTP AUTH (#POR, #SEC, #USR, #PAS, #CAF):
deliveries through a private Postfix + Dovecot (submission_peer.py), and the
TLS and AUTH faults a scripted server stages. Every run also checks that the
secret stays in the command file: in no other work file, no spool copy, no
program output, no command sent before TLS.

The cases are mixins bound to a harness at the end of this file. Linux uses
127.0.0.91 (the Postfix peer) and 92-99 (scripted servers); a Wine variant
binds the same mixins to e2e_win.WinRun with FIRST = 160 (127.0.0.160-168):

    class WinSubmission(SubmissionCases, WinRun): FIRST = 160
    class WinScriptedTls(ScriptedTlsCases, WinRun): FIRST = 160
"""

import base64
import email.utils
import os
import shutil
import ssl
import tempfile
import time
import unittest
from unittest import mock

from harness import E2ETest, addr, sjis
from smtp_server import CLOSE, Script, ScriptedSmtpServer, ehlo_reply, in_pieces
from submission_peer import NO_STARTTLS, SMTPS, SUBMISSION, WRONG_NAME, SubmissionPeer
from test_pki import make_pki
from test_postfix import parse

USER = "yamada"
SECRET = "Kq7-tolvex-Zr9w-secret"   # distinctive: any trace of it is a leak
WRONG = "Wx4-tolvex-Bd8q-wrong"
EX_DATAERR, EX_UNAVAILABLE = 65, 69
# Under submission the status tells the failure's kind.
EX_TEMPFAIL, EX_PROTOCOL, EX_NOPERM = 75, 76, 77


def traces(secret):
    """What gives the secret away: itself, and the parts of its Base64 form
    (AUTH LOGIN, AUTH PLAIN) that do not depend on the bytes around it, at
    each of the three alignments."""
    raw = secret.encode()
    out = [raw]
    for k in range(3):
        enc = base64.b64encode(b"\0" * k + raw)
        out.append(enc[4 if k else 0:-4])
    return out


def scrub(data, secret=SECRET):
    for t in traces(secret):
        data = data.replace(t, b"<secret>")
    return data.decode("utf-8", "replace")


def scrub_text(text):
    for secret in (SECRET, WRONG):
        for t in traces(secret):
            text = text.replace(t.decode("ascii"), "<secret>")
    return text


class SecretKept:
    """Runs the program and checks where the secret went."""

    # How the program words the two certificate faults (133).
    mismatch_reason = rb"(?i)mismatch|name"
    untrusted_reason = rb"(?i)trust|issuer|unknown|verif|authority"
    reason_encoding = "utf-8"

    def _formatMessage(self, msg, standard_msg):
        # Every failure text passes here: none may show the secret.
        return scrub_text(super()._formatMessage(msg, standard_msg))

    def run_job(self, secret=SECRET, env=None):
        with mock.patch.dict(os.environ, env or {}):
            res = self.run_tolvex()
        self.assert_secret_kept(res, secret, command_holds_it=not env)
        self.err = scrub(res.stderr, secret)
        return res

    def assert_secret_kept(self, res, secret, command_holds_it):
        # assertFalse: a failure names the place, never shows its bytes.
        places = {"standard output": res.stdout, "standard error": res.stderr}
        for i, copy in enumerate(getattr(self, "spool", None) or []):
            places[f"TEMP.TXT during delivery {i + 1}"] = copy or b""
        for folder, _, files in os.walk(self.dir):
            for name in files:
                rel = os.path.relpath(os.path.join(folder, name), self.dir)
                if rel == "command.txt" and command_holds_it:
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    places[rel] = f.read()
        for where, data in places.items():
            for t in traces(secret):
                self.assertFalse(t in data, f"the secret shows in {where}")

    def record(self):
        """The one LOG.txt record: (state, text); a server reply keeps its
        own CR LF."""
        records = self.log_records()
        self.assertEqual(len(records), 1, records)
        _, state, text = records[0]
        return state, text

    def assert_failed_in(self, res, state, status=EX_UNAVAILABLE):
        self.assertEqual(res.returncode, status, self.err)
        got, text = self.record()
        self.assertEqual(got, state, text)
        self.assert_clean_end()
        # The record is one line: the reply's inner line ends stand escaped
        # in it. Undone here, to compare with what the server said.
        self.assertNotIn(b"\n", text.removesuffix(b"\r\n"))
        return text.replace(b"\\r", b"\r").replace(b"\\n", b"\n")

    def assert_readable_reason(self, text, pattern):
        """A short reason of its own words, never empty."""
        reason = text.rstrip(b"\r\n")
        self.assertTrue(reason.strip(), "empty reason")
        self.assertTrue(reason.decode(self.reason_encoding).isprintable(), reason)
        self.assertLess(len(reason), 200, reason)
        self.assertRegex(reason, pattern)
        return reason

    def assert_date_and_id_follow_to(self, names, date, message_id):
        i = names.index("To")
        self.assertEqual(names[i + 1:i + 3], ["Date", "Message-ID"], names)
        when = email.utils.parsedate_to_datetime(date).timestamp()
        self.assertLess(abs(when - time.time()), 600, date)
        self.assertRegex(message_id, r"^<[^<>@\s]+@[^<>@\s]+>$")


class SubmissionPeerRunning(SecretKept):
    """The real submission peer on FIRST: Postfix with TLS, AUTH through
    Dovecot."""

    FIRST = 91

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for tool in ("postfix", "dovecot", "openssl"):
            if not shutil.which(tool):
                raise AssertionError(f"{tool} is not installed (tools/install-deps.sh)")
        cls.peer = SubmissionPeer(addr(cls.FIRST), USER, SECRET)
        cls.addClassCleanup(cls.peer.cleanup)  # stops both daemons whatever happens
        cls.peer.start()

    def one_session(self, port, mark):
        found = self.peer.wait_sessions(port, mark)
        self.assertEqual(len(found), 1, found)
        return found[0]


class SubmissionCases(SubmissionPeerRunning):
    """A real submission server: Postfix with TLS, AUTH through Dovecot."""

    def submit(self, *lines, to="taro", password=SECRET, caf=True, loc=True):
        """Runs one job against the peer; returns the result and the log
        mark taken before it."""
        if caf:
            shutil.copy(self.peer.pki.ca, self.path("ca.pem"))
        self.write_command((["#LOC=client.tolvex.test"] if loc else []) + [f"#HOS={addr(self.FIRST)}",
                            "#FRO=sender@example.jp", f"#TO={to}@tolvex.test",
                            f"#USR={USER}", f"#PAS={password}"]
                           + (["#CAF=ca.pem"] if caf else []) + list(lines))
        self.mailbox = len(self.peer.delivered(to))
        mark = self.peer.log_mark()
        return self.run_job(password), mark

    def delivered(self, res, to):
        self.assertEqual(res.returncode, 0, self.err + self.peer.log_text())
        self.assertEqual(self.record(), (0, b""))
        self.assert_clean_end()
        path = self.peer.wait_for_mail(to, self.mailbox + 1)[self.mailbox]
        with open(path, "rb") as f:
            raw = f.read()
        self.assertFalse(any(t in raw for t in traces(SECRET)), "the secret is in the message")
        msg = parse(path)
        self.assertEqual(msg.defects, [])
        # Postfix writes ESMTPSA for mail it took over TLS after AUTH.
        self.assertRegex(msg["Received"], r"\bwith ESMTPSA\b")
        self.assert_date_and_id_follow_to(list(msg.keys()), msg["Date"], msg["Message-ID"])
        return msg

    def assert_nothing_delivered(self, to="taro"):
        self.assertEqual(len(self.peer.delivered(to)), self.mailbox)

    def test_starttls_and_plain_deliver_text_and_attachments(self):
        blob = os.urandom(4000) + bytes(range(256))
        doc = sjis("表とソの能力\r\n二行目\r\n")
        self.write("data.bin", blob)
        self.write("説明.txt", doc)
        body = ["表示とソフトの能力を確かめます。", ".", "最後の行"]
        res, mark = self.submit("#SEC=starttls", "#SUB=提出の試験 表ソ能",
                                "#ATT=data.bin, 説明.txt", "", *body)
        msg = self.delivered(res, "taro")
        self.assertEqual(msg["Subject"], "提出の試験 表ソ能")
        self.assertEqual(msg["From"], "sender@example.jp")
        parts = list(msg.iter_parts())
        self.assertEqual(len(parts), 3)
        self.assertEqual(parts[0].get_content().splitlines(),
                         ["data.bin, 説明.txt", "-----", "", *body])
        self.assertEqual(parts[1].get_filename(), "data.bin")
        self.assertEqual(parts[1].get_content(), blob)
        self.assertEqual(parts[2].get_content(), doc)
        counts = self.one_session(SUBMISSION, mark)
        self.assertEqual({k: counts.get(k) for k in ("ehlo", "starttls", "auth", "data")},
                         {"ehlo": "2", "starttls": "1", "auth": "1", "data": "1"}, counts)

    def test_implicit_tls_delivers_on_465(self):
        res, mark = self.submit("#SEC=tls", "#SUB=暗号化 能", "", "最初から TLS で送ります。",
                                to="hanako")
        msg = self.delivered(res, "hanako")
        self.assertEqual(msg["Subject"], "暗号化 能")
        self.assertEqual(msg.get_content().splitlines(), ["最初から TLS で送ります。"])
        counts = self.one_session(SMTPS, mark)
        self.assertEqual((counts.get("ehlo"), counts.get("auth"), counts.get("starttls")),
                         ("1", "1", None), counts)

    def test_without_loc_the_ehlo_is_an_address_literal(self):
        # Postfix answers an EHLO without a name with "501 Syntax: EHLO
        # hostname" and a non-FQDN one (reject_non_fqdn_helo_hostname) with
        # 504; a command file like the README's provider example has no #LOC
        # and must still deliver.
        res, _ = self.submit("#SEC=starttls", "#SUB=名前なし", "", "本文", loc=False)
        self.delivered(res, "taro")
        # Found by its subject: an earlier test's message may land later.
        deadline = time.time() + 30
        while True:
            msgs = [parse(p) for p in self.peer.delivered("taro")]
            msgs = [m for m in msgs if m["Subject"] == "名前なし"]
            if msgs or time.time() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(len(msgs), 1)
        # Postfix's Received line names the client by its EHLO first.
        self.assertRegex(msgs[0]["Received"], r"^from \[127\.0\.0\.\d+\] \(")

    def test_wrong_password_logs_139_with_the_535_reply(self):
        res, mark = self.submit("#SEC=starttls", "", "x", password=WRONG)
        text = self.assert_failed_in(res, 139, EX_NOPERM)
        self.assertTrue(text.startswith(b"535 5.7.8 Error: authentication failed"), text)
        self.assertTrue(text.endswith(b"\r\n"), text)
        # One attempt: no second mechanism tried, nothing sent after it.
        counts = self.one_session(SUBMISSION, mark)
        self.assertEqual(counts.get("auth"), "0/1", counts)
        self.assertNotIn("mail", counts)
        self.assertEqual(counts.get("quit"), "1", counts)  # not "lost connection after AUTH"
        self.assert_nothing_delivered()

    def test_certificate_for_another_host_fails_in_133(self):
        res, mark = self.submit("#SEC=starttls", f"#POR={WRONG_NAME}", "", "x")
        self.assert_readable_reason(self.assert_failed_in(res, 133, EX_NOPERM), self.mismatch_reason)
        self.assertNotIn("auth", self.one_session(WRONG_NAME, mark))
        self.assert_nothing_delivered()

    def test_throwaway_ca_is_not_trusted_without_caf(self):
        res, mark = self.submit("#SEC=starttls", "", "x", caf=False)
        reason = self.assert_readable_reason(self.assert_failed_in(res, 133, EX_NOPERM),
                                             self.untrusted_reason)
        self.assertNotRegex(reason, self.mismatch_reason)  # tells the two faults apart
        self.assertNotIn("auth", self.one_session(SUBMISSION, mark))
        self.assert_nothing_delivered()

    def test_no_starttls_offered_fails_in_132_before_any_credential(self):
        # This port offers AUTH on the plain connection: a client that went
        # on without TLS would be seen authenticating.
        res, mark = self.submit("#SEC=starttls", f"#POR={NO_STARTTLS}", "", "x")
        text = self.assert_failed_in(res, 132)
        self.assertTrue(text.startswith(b"250-mx.tolvex.test\r\n"), text)
        self.assertIn(b"\r\n250-AUTH PLAIN LOGIN\r\n", text)
        self.assertNotIn(b"STARTTLS", text)
        self.assertRegex(text, rb"\r\n250 [A-Z0-9]+\r\n$")
        counts = self.one_session(NO_STARTTLS, mark)
        self.assertEqual(counts.get("ehlo"), "1", counts)
        self.assertNotIn("auth", counts)
        self.assert_nothing_delivered()


BEFORE_TLS = ehlo_reply("e2e.test", "PIPELINING", "SIZE 10240000", "STARTTLS",
                        "ENHANCEDSTATUSCODES", "8BITMIME")
UNDER_TLS = ehlo_reply("e2e.test", "PIPELINING", "SIZE 10240000", "AUTH PLAIN LOGIN",
                       "ENHANCEDSTATUSCODES", "8BITMIME")
DELIVERY = ["EHLO", "STAR", "EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"]


class ScriptedTlsJobs(SecretKept):
    """Jobs against scripted servers with the throwaway CA's certificate for
    their addresses FIRST+1 .. FIRST+ADDRESSES."""

    FIRST = 91
    ADDRESSES = 8

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"scripted": [addr(cls.FIRST + k)
                                                 for k in range(1, cls.ADDRESSES + 1)],
                                    "cnonly": ["CN-only", "localhost"]})

    def server(self, k, port=587, implicit_tls=False, tls_setup=None, **script):
        """Serves on FIRST+k and keeps a copy of TEMP.TXT at each message."""
        self.spool = []
        script.setdefault("on_message", lambda _s: self.spool.append(
            self.read("TEMP.TXT") if self.exists("TEMP.TXT") else None))
        return ScriptedSmtpServer(addr(self.FIRST + k), Script(**script), port=port,
                                  tls=(self.pki.cert("scripted"), self.pki.key("scripted")),
                                  implicit_tls=implicit_tls, tls_setup=tls_setup)

    def job(self, k, *directives, password=True, host=None):
        shutil.copy(self.pki.ca, self.path("ca.pem"))
        self.write_command(["#LOC=client.tolvex.test", f"#HOS={host or addr(self.FIRST + k)}",
                            "#FRO=sender@example.jp", "#TO=a@example.jp", "#SUB=件名 表ソ",
                            f"#USR={USER}", *([f"#PAS={SECRET}"] if password else []),
                            "#CAF=ca.pem", *directives, "", "本文 表示と能力"])

    def converse(self, k, directives, env=None, **server):
        self.job(k, *directives, password=not env)
        with self.server(k, **server) as srv:
            res = self.run_job(env=env)
        self.assertEqual(srv.errors, [])
        self.assertEqual(len(srv.sessions), 1)
        session = srv.sessions[0]
        if "#SEC=none" not in directives:
            self.assert_no_credentials_in_plain(session)
        return res, session

    def assert_no_credentials_in_plain(self, session):
        for command, tls in zip(session.commands, session.command_tls):
            if not tls:
                self.assertFalse(any(t in command for t in traces(SECRET)),
                                 "the secret went out before TLS")
        self.assertEqual([a for a in session.auth if not a.tls], [], "AUTH before TLS")

    def assert_delivered(self, res, session, mechanism):
        self.assertEqual(res.returncode, 0, self.err)
        self.assertEqual(self.record(), (0, b""))
        self.assert_clean_end()
        self.assertTrue(session.complete)
        self.assertEqual(len(session.auth), 1, session.auth)
        auth = session.auth[0]
        # Compared as booleans so that a failure shows no credentials.
        self.assertEqual((auth.mechanism, auth.user == USER.encode(),
                          auth.password == SECRET.encode()), (mechanism, True, True))
        head = session.message.split(b"\r\n\r\n", 1)[0].decode("ascii", "replace")
        fields = [line.split(": ", 1) for line in head.split("\r\n") if line[:1] not in " \t"]
        names = [f[0] for f in fields]
        values = {f[0]: f[1] for f in fields if len(f) == 2}
        self.assert_date_and_id_follow_to(names, values["Date"], values["Message-ID"])


class ScriptedTlsCases(ScriptedTlsJobs):
    """TLS and AUTH faults of scripted servers on FIRST+1 .. FIRST+8."""

    def test_capabilities_in_three_packets_on_the_default_port(self):
        res, s = self.converse(1, ["#SEC=starttls"], replies={"EHLO": in_pieces(BEFORE_TLS, 3)},
                               tls_replies={"EHLO": in_pieces(UNDER_TLS, 3)})
        self.assert_delivered(res, s, "PLAIN")
        self.assertEqual(s.verbs(), DELIVERY)
        self.assertEqual(s.commands[:3], [b"EHLO client.tolvex.test\r\n", b"STARTTLS\r\n",
                                          b"EHLO client.tolvex.test\r\n"])
        self.assertEqual(s.command_tls, [False, False] + [True] * 6)

    def test_starttls_refused_with_454_fails_in_132(self):
        refusal = b"454 4.7.0 TLS not available due to temporary reason\r\n"
        res, s = self.converse(2, ["#SEC=starttls"], replies={"EHLO": BEFORE_TLS,
                                                               "STARTTLS": refusal})
        self.assertEqual(self.assert_failed_in(res, 132, EX_TEMPFAIL), refusal)
        self.assertEqual(s.verbs()[:2], ["EHLO", "STAR"])
        self.assertFalse({"AUTH", "MAIL"} & set(s.verbs()), s.verbs())
        self.assertFalse(s.tls)

    def test_auth_offered_only_before_tls_fails_in_137(self):
        both = ehlo_reply("e2e.test", "STARTTLS", "AUTH PLAIN LOGIN", "8BITMIME")
        bare = ehlo_reply("e2e.test", "PIPELINING", "8BITMIME")
        res, s = self.converse(3, ["#SEC=starttls"], replies={"EHLO": both},
                               tls_replies={"EHLO": bare})
        self.assertEqual(self.assert_failed_in(res, 137), bare)
        self.assertTrue(s.tls)
        self.assertEqual(s.verbs()[:3], ["EHLO", "STAR", "EHLO"])
        self.assertFalse({"AUTH", "MAIL"} & set(s.verbs()), s.verbs())

    def test_certificate_named_only_by_its_cn_is_refused_in_133(self):
        # CN=localhost and no subjectAltName: the name is looked for in
        # subjectAltName alone, so the certificate does not name the host.
        self.job(1, "#SEC=starttls", host="localhost")
        with ScriptedSmtpServer("127.0.0.1", Script(replies={"EHLO": BEFORE_TLS}), port=587,
                                tls=(self.pki.cert("cnonly"), self.pki.key("cnonly"))) as srv:
            res = self.run_job()
        self.assert_readable_reason(self.assert_failed_in(res, 133, EX_NOPERM), self.mismatch_reason)
        self.assertEqual(srv.sessions[0].auth, [])

    def test_hostile_replies_fail_closed_with_one_record(self):
        plain = base64.b64encode(b"\0" + USER.encode() + b"\0" + SECRET.encode())
        under = {"EHLO": UNDER_TLS}
        cases = [
            # (name, server script, state and exit status, text pattern, verbs
            # that must not come)
            ("multi-line reply ending in a refusal",
             dict(tls_replies={**under, "MAIL": b"250-accepted\r\n550 5.7.1 rejected\r\n"}),
             (999, EX_PROTOCOL), rb"^protocol error: reply lines with differing codes",
             {"RCPT", "DATA"}),
            ("EHLO reply ending in a refusal",
             dict(replies={"EHLO": b"250-x\r\n554 go away\r\n"}),
             (999, EX_PROTOCOL), rb"^protocol error: reply lines with differing codes",
             {"STAR", "AUTH"}),
            ("replies before the client asked",
             dict(greeting=b"220 hi\r\n250 ok\r\n250 ok\r\n250 ok\r\n"),
             (999, EX_PROTOCOL), rb"^protocol error: a reply that no command asked for",
             {"MAIL", "DATA"}),
            ("535 echoing the AUTH line",
             dict(tls_replies={**under, "AUTH": b"535 5.7.8 no: AUTH PLAIN " + plain + b" "
                               + SECRET.encode() + b"\r\n"}),
             (139, EX_NOPERM), rb"^535 5\.7\.8 no: AUTH PLAIN \*\*\* \*\*\*", {"MAIL"}),
            ("message larger than SIZE",
             dict(tls_replies={"EHLO": ehlo_reply("e2e.test", "SIZE 100", "AUTH PLAIN")}),
             (141, EX_UNAVAILABLE), rb"^message too large: \d+ octets, the server takes at most 100 \(SIZE\)",
             {"AUTH", "MAIL"}),
        ]
        for name, script, state, pattern, never in cases:
            with self.subTest(name):
                if self.exists("LOG.txt"):
                    os.remove(self.path("LOG.txt"))
                script.setdefault("replies", {"EHLO": BEFORE_TLS})
                res, s = self.converse(6, ["#SEC=starttls"], **script)
                text = self.assert_failed_in(res, *state)
                self.assertRegex(text, pattern)
                self.assertFalse(never & set(s.verbs()), s.verbs())

    def test_connection_refused_or_closed_ends_the_session_at_once(self):
        # Ended by the socket's event, so the record names the cause (the
        # two-minute rule would log the last reply instead).
        self.job(8, "#SEC=starttls")
        res = self.run_job()  # nothing listens on FIRST+8
        self.assertEqual(self.assert_failed_in(res, 999, EX_TEMPFAIL), b"connection refused")
        for name, script in [("closed after EHLO", dict(replies={"EHLO": [CLOSE]})),
                             ("closed in the greeting", dict(greeting=[b"220-", CLOSE]))]:
            with self.subTest(name):
                os.remove(self.path("LOG.txt"))
                res, s = self.converse(8, ["#SEC=starttls"], **script)
                self.assertEqual(self.assert_failed_in(res, 999, EX_TEMPFAIL),
                                 b"connection closed by the server")

    def test_tls_ends_with_close_notify(self):
        # AUTH refused: the client closes while the server still reads.
        self.job(7, "#SEC=starttls")
        with self.server(7, replies={"EHLO": BEFORE_TLS},
                         tls_replies={"EHLO": UNDER_TLS, "AUTH": b"535 5.7.8 no\r\n"}) as srv:
            res = self.run_job()
            # The server reads on to the end of the connection.
            self.assertTrue(srv.session_done.wait(10), "the connection never ended")
        self.assert_failed_in(res, 139, EX_NOPERM)
        self.assertEqual(srv.ragged_eofs, 0)

    def test_mail_from_declares_the_size_when_announced(self):
        res, s = self.converse(7, ["#SEC=starttls"], replies={"EHLO": BEFORE_TLS},
                               tls_replies={"EHLO": UNDER_TLS})
        self.assert_delivered(res, s, "PLAIN")
        # RFC 1870: the message as received, without the end-of-data line
        # and the doubled dots.
        mail = [c for c in s.commands if c.startswith(b"MAIL")]
        self.assertEqual(mail, [b"MAIL FROM:<sender@example.jp> SIZE=%d\r\n" % len(s.message)])

    def test_close_during_the_handshake_fails_in_133(self):
        res, s = self.converse(4, ["#SEC=starttls"], replies={"EHLO": BEFORE_TLS},
                               handshake=CLOSE)
        self.assert_readable_reason(self.assert_failed_in(res, 133, EX_TEMPFAIL), rb".")
        self.assertEqual(s.verbs(), ["EHLO", "STAR"])
        self.assertFalse(s.tls)

    def test_login_when_plain_is_not_offered_over_implicit_tls(self):
        res, s = self.converse(5, ["#SEC=tls"], port=465, implicit_tls=True,
                               replies={"EHLO": ehlo_reply("e2e.test", "AUTH LOGIN", "8BITMIME")})
        self.assert_delivered(res, s, "LOGIN")
        self.assertEqual(s.verbs(), ["EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertTrue(all(s.command_tls))

    def test_password_from_the_environment(self):
        res, s = self.converse(6, ["#SEC=starttls"], env={"TOLVEX_PASSWORD": SECRET},
                               replies={"EHLO": BEFORE_TLS}, tls_replies={"EHLO": UNDER_TLS})
        self.assert_delivered(res, s, "PLAIN")
        self.assertEqual(s.verbs(), DELIVERY)

    def test_user_without_sec_is_refused_before_connecting(self):
        self.job(7, "#POR=587")
        with self.server(7, port=25) as plain, self.server(7, port=587) as submission:
            res = self.run_job()
        self.assertEqual(res.returncode, EX_DATAERR, self.err)
        self.assertEqual((plain.sessions, submission.sessions), ([], []))
        self.assertNotEqual(self.err.strip(), "")
        self.assertFalse(self.exists("LOG.txt"))
        self.assert_clean_end()

    def test_sec_none_written_authenticates_without_tls(self):
        res, s = self.converse(8, ["#SEC=none", "#POR=25"], port=25,
                               replies={"EHLO": ehlo_reply("e2e.test", "AUTH PLAIN", "8BITMIME")})
        self.assert_delivered(res, s, "PLAIN")
        self.assertEqual(s.verbs(), ["EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertFalse(s.tls)


class ServerEdgeCases(ScriptedTlsJobs):
    """What a server may say at any moment, on one scripted STARTTLS server
    at FIRST+1 (Linux 127.0.0.11; the Wine variant 127.0.0.37): what follows
    the message's acceptance, a 421 between commands, a reply without a
    code, QUIT after a refusal, a TLS version the server refuses, SIZE at
    its limit."""

    FIRST = 10
    ADDRESSES = 1

    def edge(self, directives=(), tls_setup=None, **under):
        for name in ("LOG.txt",):
            if self.exists(name):
                os.remove(self.path(name))
        shutil.rmtree(self.path("undelivered"), ignore_errors=True)
        return self.converse(1, ["#SEC=starttls", *directives], tls_setup=tls_setup,
                             replies={"EHLO": BEFORE_TLS},
                             tls_replies={"EHLO": UNDER_TLS, **under})

    def kept(self):
        return self.kept_messages()

    def test_acceptance_stands_whatever_follows_it(self):
        # The same bytes in one segment or 30 ms apart: the server has the
        # message, so with #RTY it is neither sent again nor kept.
        bye = b"421 4.3.2 shutting down\r\n"
        for name, reply in [("one segment", [b"250 2.0.0 queued\r\n" + bye, CLOSE]),
                            ("30 ms apart", [b"250 2.0.0 queued\r\n", 0.03, bye, CLOSE])]:
            with self.subTest(name):
                res, s = self.edge(["#RTY=1,1"], MESSAGE=reply)
                # What ended the dialogue after the acceptance: the 421 as
                # QUIT's answer, or (Winsock may report the close before the
                # QUIT's turn) the close.
                self.assertIn(self.assert_failed_in(res, 999, EX_UNAVAILABLE),
                              (bye, b"connection closed by the server"))
                self.assertTrue(s.complete)
                self.assertIn("accepted the message", self.err)
                self.assertEqual(self.kept(), [])

    def test_replies_at_any_moment(self):
        # (name, reply, state, status, text logged, the last two commands)
        bye = b"421 4.3.2 closing\r\n"
        refusal = b"550 5.1.1 <a@example.jp>: Recipient address rejected\r\n"
        cases = [
            ("421 after MAIL's 250", dict(MAIL=[b"250 2.1.0 Ok\r\n" + bye, CLOSE]), 999,
             EX_TEMPFAIL, bye, ["AUTH", "MAIL"]),
            ("no code", dict(RCPT=b"hello there\r\n"), 999, EX_PROTOCOL,
             b"protocol error: a reply without a code: hello there\r\n", ["MAIL", "RCPT"]),
            ("refusal, then QUIT", dict(RCPT=refusal), 150, EX_UNAVAILABLE, refusal, ["RCPT", "QUIT"]),
        ]
        for name, under, state, status, text, last in cases:
            with self.subTest(name):
                res, s = self.edge(**under)
                self.assertEqual(self.assert_failed_in(res, state, status), text)
                self.assertEqual(s.verbs()[-2:], last)

    def test_tls_version_the_server_refuses_is_permanent(self):
        def old_versions_only(context):
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1_1
            context.set_ciphers("DEFAULT:@SECLEVEL=0")

        res, s = self.edge(["#RTY=2,1"], tls_setup=old_versions_only)
        self.assertRegex(self.assert_failed_in(res, 133, EX_UNAVAILABLE),
                         rb"^handshake: protocol version")
        self.assertEqual(s.verbs(), ["EHLO", "STAR"])  # one session, no QUIT after it
        self.assertEqual(len(self.kept()), 1)

    def test_size_at_the_servers_limit_is_taken(self):
        res, s = self.edge()
        self.assert_delivered(res, s, "PLAIN")
        size = len(s.message)
        for limit, state in [(size, 0), (size - 1, 141)]:
            with self.subTest(limit=limit):
                res, s = self.edge(EHLO=ehlo_reply("e2e.test", f"SIZE {limit}", "AUTH PLAIN"))
                if state:
                    self.assert_failed_in(res, state)
                    self.assertEqual(s.verbs()[-1], "QUIT")
                else:
                    self.assert_delivered(res, s, "PLAIN")
                    self.assertIn(b"MAIL FROM:<sender@example.jp> SIZE=%d\r\n" % size, s.commands)


class PostfixProbe(SubmissionPeerRunning, E2ETest):
    """--probe against the real peer, which closes the connection as soon
    as it has answered QUIT (Linux only, 127.0.0.13)."""

    FIRST = 13

    def test_probe_ends_well_over_starttls_and_implicit_tls(self):
        for sec, port in (("#SEC=starttls", SUBMISSION), ("#SEC=tls", SMTPS)):
            with self.subTest(sec):
                shutil.copy(self.peer.pki.ca, self.path("ca.pem"))
                self.write_command(["#LOC=client.tolvex.test", f"#HOS={addr(self.FIRST)}",
                                    "#FRO=sender@example.jp", "#TO=taro@tolvex.test",
                                    f"#USR={USER}", f"#PAS={SECRET}", "#CAF=ca.pem", sec, "", "x"])
                mark = self.peer.log_mark()
                res = self.run_tolvex(["--probe"])
                self.assert_secret_kept(res, SECRET, command_holds_it=True)
                out = res.stdout.decode("utf-8", "replace")
                self.assertEqual(res.returncode, 0, out + self.peer.log_text())
                self.assertIn("Result:      the server would accept this session", out)
                counts = self.one_session(port, mark)
                self.assertEqual({k: counts.get(k) for k in ("auth", "rcpt", "rset", "quit")},
                                 {"auth": "1", "rcpt": "1", "rset": "1", "quit": "1"}, counts)


class PostfixSubmission(SubmissionCases, E2ETest):
    pass


class ScriptedTls(ScriptedTlsCases, E2ETest):
    pass


class ServerEdges(ServerEdgeCases, E2ETest):
    pass


if __name__ == "__main__":
    unittest.main()
