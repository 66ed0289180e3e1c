"""Signals end a run with the usual clean-up at any moment: waiting for a
reply, composing a large attachment, handing the message to a server that
reads slowly, waiting between repeats, waiting to start. The delivery under
way is abandoned and not logged; TEMP.TXT and the spool being written go;
command.txt goes only under #DEL."""

import os
import shutil
import signal
import tempfile
import time
import unittest
from unittest import mock

from harness import E2ETest, Script, ScriptedSmtpServer, addr
from oauth_provider import OAuthProvider
from test_pki import make_pki


class Signals(E2ETest):
    def interrupt(self, n, script, wait_for, sig, delete=False):
        lines = (["#DEL"] if delete else []) + [
            "#LOC=tolvex.test", f"#HOS={addr(n)}", "#TO=a@example.jp", "#SUB=中断", "", "本文"]
        self.write_command(lines)
        with ScriptedSmtpServer(addr(n), script) as server:
            p = self.spawn()
            self.assertTrue(getattr(server, wait_for).wait(30), f"server never saw {wait_for}")
            self.assertIsNone(p.poll(), "program ended before the signal")
            # The spool file exists while the delivery is under way.
            self.assertTrue(self.exists("TEMP.TXT"))
            p.send_signal(sig)
            _, err = p.communicate(timeout=15)
        self.assertEqual(p.returncode, 128 + sig, err)
        self.assert_clean_end()
        self.assertEqual(self.log_records(), [])
        self.assertEqual(self.exists("command.txt"), not delete)
        return server

    def test_sigterm_while_the_message_awaits_its_reply(self):
        server = self.interrupt(70, Script(replies={"MESSAGE": None}), "message_event",
                                signal.SIGTERM, delete=True)
        self.assertTrue(server.sessions[0].complete)
        self.assertNotIn("QUIT", server.sessions[0].verbs())

    def test_sigint_while_waiting_for_the_greeting(self):
        server = self.interrupt(71, Script(greeting=None), "connected", signal.SIGINT)
        self.assertEqual(server.sessions[0].commands, [])

    def test_sighup_after_helo(self):
        server = self.interrupt(72, Script(replies={"HELO": None}), "connected", signal.SIGHUP,
                                delete=True)
        self.assertLessEqual(len(server.sessions[0].commands), 1)


class SignalRun(E2ETest):
    def command(self, n, *extra, delete=False):
        return (["#DEL"] if delete else []) + [
            "#LOC=tolvex.test", f"#HOS={addr(n)}", "#TO=a@example.jp", *extra, "", "本文"]

    def wait_for(self, what, condition, seconds=30):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, f"never saw {what}")
            time.sleep(0.002)

    def idle_after_reading(self, p):
        """The run has read its command file and sleeps in its event loop."""
        try:
            with open(f"/proc/{p.pid}/io") as f:
                read = int(dict(l.split(": ") for l in f.read().splitlines())["rchar"])
            with open(f"/proc/{p.pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (OSError, KeyError, IndexError, ValueError):
            return False
        return read >= os.path.getsize(self.path("command.txt")) and state == "S"

    def end_by(self, p, sig, within):
        """Signals the run; returns its standard error once it has ended
        with 128+N within `within` seconds, the spool files gone."""
        self.assertIsNone(p.poll(), "program ended before the signal")
        signalled = time.monotonic()
        p.send_signal(sig)
        _, err = p.communicate(timeout=within + 30)
        self.assertLess(time.monotonic() - signalled, within)
        self.assertEqual(p.returncode, 128 + sig, err)
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))
        return err


class SignalsAtAnyMoment(SignalRun):
    def big_file(self, mib):
        block = bytes(range(256)) * 4096
        with open(self.path("大表.bin"), "wb") as f:
            for i in range(mib):
                f.write(block[i % 256:] + block[:i % 256])

    def spool_size(self):
        try:
            return os.path.getsize(self.path("TEMP.TXT.new"))
        except FileNotFoundError:
            return 0

    def test_sigint_while_composing_a_500_mib_attachment(self):
        self.big_file(500)
        self.write_command(self.command(220, "#ATT=大表.bin", delete=True))
        with ScriptedSmtpServer(addr(220)) as server:
            p = self.spawn()
            self.wait_for("the spool being written", lambda: self.spool_size() > 0)
            # Composition runs to its end before the signal is taken (about
            # 3 s for 500 MiB in a release build, up to a minute for the
            # debug build on a loaded machine); the send it was made for
            # never starts.
            self.end_by(p, signal.SIGINT, within=120)
        self.assertEqual(server.sessions, [], "connected after the signal")
        self.assertEqual(self.log_records(), [])
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")

    def test_sigterm_while_a_slow_server_takes_the_message(self):
        self.big_file(64)
        self.write_command(self.command(221, "#ATT=大表.bin"))
        # The server stops reading after 354: the send stalls part-way.
        script = Script(replies={"DATA": [b"354 go ahead\r\n", 60.0]})
        with ScriptedSmtpServer(addr(221), script) as server:
            p = self.spawn()
            self.wait_for("DATA", lambda: bool(server.sessions) and
                          "DATA" in server.sessions[0].received_at)
            self.wait_for("the message arriving", lambda: server.sessions[0].unread() > 65536)
            self.assertTrue(self.exists("TEMP.TXT"))
            self.end_by(p, signal.SIGTERM, within=5)
        self.assertFalse(server.sessions[0].complete)
        self.assertEqual(self.log_records(), [])
        self.assertTrue(self.exists("command.txt"))

    def test_sighup_while_waiting_between_repeats(self):
        self.write_command(self.command(222, "#MOR=2", "#TER=5"))
        with ScriptedSmtpServer(addr(222)) as server:
            p = self.spawn()
            self.assertTrue(server.session_done.wait(30), "no first delivery")
            self.wait_for("the first record", lambda: self.log_records() != [])
            # The spool stays for the next send until the signal.
            self.assertTrue(self.exists("TEMP.TXT"))
            self.end_by(p, signal.SIGHUP, within=5)
        self.assert_one_record(0, b"")
        self.assertEqual(len(server.sessions), 1)
        self.assertTrue(self.exists("command.txt"))

    def test_sigterm_while_waiting_to_start(self):
        self.write_command(self.command(223, "#WAI=5", delete=True))
        with ScriptedSmtpServer(addr(223)) as server:
            p = self.spawn()
            self.wait_for("the start-up done", lambda: self.idle_after_reading(p))
            self.assertFalse(self.exists("TEMP.TXT"), "composed before the wait was over")
            self.end_by(p, signal.SIGTERM, within=5)
        self.assertEqual(server.sessions, [])
        self.assertEqual(self.log_records(), [])
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")

    def test_sigterm_in_the_retry_wait_keeps_the_message_and_exits_143(self):
        self.write_command(self.command(8, "#RTY=3,5", delete=True))
        with ScriptedSmtpServer(addr(8), Script(greeting=b"421 4.3.2 busy\r\n")) as server:
            p = self.spawn()
            self.wait_for("the first attempt's record", lambda: self.log_records() != [])
            err = self.end_by(p, signal.SIGTERM, within=5)
        self.assertEqual(len(server.sessions), 1)
        kept = [k for k in os.listdir(self.path("undelivered")) if k.endswith(".eml")]
        self.assertEqual(len(kept), 1, kept)
        self.assertIn(f"undelivered/{kept[0]}".encode(), err)
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")


class SignalsDuringATokenRequest(SignalRun):
    """A token endpoint (127.0.0.8) that never answers: the signal gives the
    request up at once, with the usual clean-up and 128+N, and logs
    nothing. Under #RTY the first attempt's message stays in command.txt."""

    @classmethod
    def setUpClass(cls):
        folder = tempfile.mkdtemp(prefix="tolvex-pki-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.pki = make_pki(folder, {"idp": [addr(8)]})

    def interrupt_token_request(self, sig, *extra):
        shutil.copy(self.pki.ca, self.path("ca.pem"))
        with OAuthProvider(addr(8), self.pki.cert("idp"), self.pki.key("idp"), "sig-client",
                           "sig-secret") as provider:
            provider.mode = "stall"
            self.write_command(self.command(
                8, "#SEC=starttls", "#USR=a@example.jp", f"#OAU={provider.url}",
                "#OID=sig-client", "#OSC=sig-secret", "#CAF=ca.pem", "#DEL", *extra))
            with mock.patch.dict(os.environ, {"XDG_CONFIG_HOME": self.path("config")}):
                p = self.spawn()
            self.wait_for("the token request", lambda: provider.requests != [])
            err = self.end_by(p, sig, within=2)
        self.assertEqual(self.log_records(), [])
        self.assertFalse(os.path.isdir(self.path("undelivered")))
        return err

    def test_sigterm_ends_a_token_request_at_once(self):
        self.interrupt_token_request(signal.SIGTERM)
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")

    def test_sigint_in_a_first_attempt_under_rty_keeps_command_txt(self):
        self.interrupt_token_request(signal.SIGINT, "#RTY=2,1")
        self.assertTrue(self.exists("command.txt"), "the message was neither sent nor kept")


if __name__ == "__main__":
    unittest.main()
