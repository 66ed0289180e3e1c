"""The one real time-out: a server that accepts the connection and never
says anything. The session gives up after 1200 unchanged ticks (about two
minutes) and logs state 999. Registered on its own so it runs once."""

import time
import unittest

from harness import E2ETest, Script, ScriptedSmtpServer, addr


class SilentServer(E2ETest):
    def test_silent_server_times_out_with_999(self):
        self.write_command(["#LOC=tolvex.test", "#HOS=" + addr(75), "#TO=a@example.jp", "", "x"])
        with ScriptedSmtpServer(addr(75), Script(greeting=None)) as server:
            t0 = time.monotonic()
            res = self.run_tolvex(timeout=240)
            elapsed = time.monotonic() - t0
        self.assertEqual(res.returncode, 69, res.stderr)
        self.assertEqual(len(server.sessions), 1)
        self.assertEqual(server.sessions[0].commands, [])
        # 1201 ticks of 100 ms in state 115, plus the ticks before it.
        self.assertGreaterEqual(elapsed, 119.5)
        self.assertLess(elapsed, 135)
        self.assert_one_record(999, b"")
        self.assert_clean_end()


if __name__ == "__main__":
    unittest.main()
