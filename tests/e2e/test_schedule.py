"""Runs whose schedule is not a single send: a repeat interval with no
count, and a negative interval that leaves the program idle."""

import signal
import subprocess
import unittest

from harness import E2ETest, ScriptedSmtpServer, addr


class Schedule(E2ETest):
    def test_interval_without_count_ends_at_start_up(self):
        # The first send finds no sends left: the message is composed but
        # the run ends without connecting.
        self.write_command(["#DEL", f"#HOS={addr(61)}", "#TER=5", "#TO=a@example.jp", "", "x"])
        with ScriptedSmtpServer(addr(61)) as server:
            res = self.run_tolvex(timeout=30)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(server.sessions, [])
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()
        self.assertFalse(self.exists("command.txt"))

    def test_negative_interval_stays_until_signalled(self):
        self.write_command([f"#HOS={addr(62)}", "#TER=-1", "#TO=a@example.jp", "", "x"])
        with ScriptedSmtpServer(addr(62)) as server:
            p = self.spawn()
            self.assertTrue(server.session_done.wait(30), "no delivery")
            with self.assertRaises(subprocess.TimeoutExpired, msg="ended although the interval is negative"):
                p.wait(timeout=1.5)
        self.assert_one_record(0, b"")
        self.assertTrue(self.exists("TEMP.TXT"), "the spool file stays until the end")
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=15)
        self.assertEqual(p.returncode, 128 + signal.SIGTERM, err)
        self.assert_clean_end()
        self.assertEqual(len(self.log_records()), 1)
        self.assertEqual(server.sessions[0].verbs()[-1], "QUIT")


if __name__ == "__main__":
    unittest.main()
