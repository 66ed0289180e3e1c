"""Signals end a run with the usual clean-up at any moment: waiting for a
reply, composing a large attachment, handing the message to a server that
reads slowly, waiting between repeats, waiting to start. The delivery under
way is abandoned and not logged; TEMP.TXT and the spool being written go;
command.txt goes only under #DEL."""

import os
import signal
import time
import unittest

from harness import E2ETest, Script, ScriptedSmtpServer, addr


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


class SignalsAtAnyMoment(E2ETest):
    def command(self, n, *extra, delete=False):
        return (["#DEL"] if delete else []) + [
            "#LOC=tolvex.test", f"#HOS={addr(n)}", "#TO=a@example.jp", *extra, "", "本文"]

    def big_file(self, mib):
        block = bytes(range(256)) * 4096
        with open(self.path("大表.bin"), "wb") as f:
            for i in range(mib):
                f.write(block[i % 256:] + block[:i % 256])

    def wait_for(self, what, condition, seconds=30):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, f"never saw {what}")
            time.sleep(0.002)

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
            # 3 s for 500 MiB here); the send it was made for never starts.
            self.end_by(p, signal.SIGINT, within=30)
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
            time.sleep(0.5)
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
            time.sleep(0.3)
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
            time.sleep(0.5)
            self.assertFalse(self.exists("TEMP.TXT"), "composed before the wait was over")
            self.end_by(p, signal.SIGTERM, within=5)
        self.assertEqual(server.sessions, [])
        self.assertEqual(self.log_records(), [])
        self.assertFalse(self.exists("command.txt"), "#DEL did not remove command.txt")


if __name__ == "__main__":
    unittest.main()
