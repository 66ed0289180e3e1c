"""Signals end a run at once with the usual clean-up; the delivery under
way is abandoned and not logged."""

import signal
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


if __name__ == "__main__":
    unittest.main()
