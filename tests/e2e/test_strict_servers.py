"""Both sessions against real strict servers beside Postfix: Exim and
OpenSMTPD (strict_peers.py), which refuse a HELO/EHLO without a name and,
OpenSMTPD, an envelope address without angle brackets. A command file
without #LOC delivers a Japanese message through each, plain on port 25
and, where the server's TLS works (Exim's; see strict_peers.py for
OpenSMTPD's), as a submission over STARTTLS with AUTH.
A Tap between the program and the server keeps the exchange and a copy of
TEMP.TXT: what arrives in the Maildir must be that spooled message, byte for
byte, below the server's own trace lines.

The cases are a mixin: Linux binds them to E2ETest on 127.0.0.250-253, and
tests/win32/e2e_win_submission.py to tolvex.exe under Wine on 236-239.
"""

import re
import shutil
import unittest

from harness import E2ETest, addr
from strict_peers import SUBMISSION, EximPeer, SmtpdPeer, Tap

USER = "yamada"
SECRET = "Vb3-tolvex-Hq8t-secret"
SUBJECT = "厳格な相手 表ソ能"
BODY = ["表示とソフトの能力を確かめます。", ".", "..二つの点", "最後の行 能"]
# Fields a server puts above the message it delivers.
TRACE = {b"return-path", b"envelope-to", b"delivery-date", b"delivered-to", b"received"}

# name: (peer, whether it takes submissions)
SERVERS = {"exim": (EximPeer, True), "opensmtpd": (SmtpdPeer, False)}


class StrictServerCases:
    """The servers on FIRST, FIRST+1, ..., their taps on the next ones."""

    FIRST = 250

    @classmethod
    def addresses(cls, server):
        """The server's address and its tap's."""
        k = list(SERVERS).index(server)
        return addr(cls.FIRST + k), addr(cls.FIRST + len(SERVERS) + k)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.peers = {}
        for name, (kind, submission) in SERVERS.items():
            address, tap = cls.addresses(name)
            why = kind.unavailable()
            if why == "needs root":
                raise unittest.SkipTest(f"{name}: {why}")
            if why:
                raise AssertionError(f"{name}: {why}")
            peer = kind(address, USER, SECRET, tap) if submission else kind(address)
            cls.addClassCleanup(peer.cleanup)  # stops it whatever happens
            peer.start()
            cls.peers[name] = peer

    def deliver(self, server, submission):
        tap_address = self.addresses(server)[1]
        peer = self.peers[server]
        lines = [f"#HOS={tap_address}", "#FRO=送信 表 <sender@example.jp>", "#TO=taro@tolvex.test",
                 f"#SUB={SUBJECT}"]
        if submission:
            shutil.copy(peer.pki.ca, self.path("ca.pem"))
            lines += ["#SEC=starttls", f"#USR={USER}", f"#PAS={SECRET}", "#CAF=ca.pem"]
        self.write_command(lines + [""] + BODY)
        before = len(peer.delivered("taro"))
        spooled = []
        with Tap(tap_address, peer.address, SUBMISSION if submission else 25,
                 on_connect=lambda: spooled.append(self.read("TEMP.TXT"))) as tap:
            res = self.run_tolvex()
            self.assertEqual(res.returncode, 0, res.stderr.decode("utf-8", "replace")
                             + peer.log_text())
            self.assert_one_record(0, b"")
            self.assert_clean_end()
            path = peer.wait_for_mail("taro", before + 1)[before]
        self.assertEqual((tap.errors, len(tap.sessions), len(spooled)), ([], 1, 1))
        sent, said = tap.sessions[0]
        with open(path, "rb") as f:
            got = f.read()

        # The session in the clear (up to the first TLS record): the HELO or
        # EHLO names the client by an address literal, and the server took
        # every command it saw.
        literal = rb" \[127\.0\.0\.\d+\]\r\n"
        if submission:  # and nothing more before TLS
            self.assertRegex(bytes(sent).split(b"\x16", 1)[0], rb"\AEHLO" + literal + rb"STARTTLS\r\n\Z")
        else:
            self.assertRegex(bytes(sent), rb"\AHELO" + literal + rb"MAIL FROM:<sender@example\.jp>\r\n")
        replies = bytes(said).split(b"\x16", 1)[0].split(b"\r\n")[:-1]
        self.assertTrue(replies and all(r[:1] in b"23" for r in replies), said)

        # The spool holds the message, the "." line, then CR LF; the Maildir
        # holds the message with LF line ends, under the trace.
        message = spooled[0]
        self.assertTrue(message.endswith(b"\r\n.\r\n\r\n"), message[-20:])
        message = message[: -len(b".\r\n\r\n")].replace(b"\r\n", b"\n")
        self.assertTrue(got.endswith(message), (got, message))
        trace = got[: -len(message)]
        names = re.findall(rb"(?m)^([^\s:]+):", trace)
        self.assertTrue(names and {n.lower() for n in names} <= TRACE, trace)
        self.assertRegex(trace, rb"(?im)^Return-path: <sender@example\.jp>$")
        self.assertRegex(trace, rb"(?m)^Received: from \[127\.0\.0\.\d+\]")
        if submission:
            self.assertIn(b" with esmtpsa ", trace)
        self.assertIn(b"\n\x1b$B", message)  # the body went out as ISO-2022-JP

    def test_plain_session_to_exim(self):
        self.deliver("exim", submission=False)

    def test_submission_to_exim(self):
        self.deliver("exim", submission=True)

    def test_plain_session_to_opensmtpd(self):
        self.deliver("opensmtpd", submission=False)


class StrictServers(StrictServerCases, E2ETest):
    pass


if __name__ == "__main__":
    unittest.main()
