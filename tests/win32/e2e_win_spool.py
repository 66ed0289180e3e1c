"""tolvex.exe under Wine with a large message streamed from the spool:
delivered exactly, and TEMP.TXT gone after a normal end, after a failure
and after the window is closed in the middle of the send. Addresses
127.0.0.131-133."""

import os
import time

from winrun import WinRun, wintool

import reference as ref  # noqa: E402
from harness import CRLF, addr, sjis  # noqa: E402

BIG = 64 * 1024 * 1024


def big_bytes():
    # Every byte value, shifted each 1 KiB so no two blocks are alike.
    block = bytes(range(256)) * 4
    return b"".join(block[i % 256:] + block[:i % 256] for i in range(BIG // len(block)))


class Spool(WinRun):
    def command(self, n):
        return [f"#HOS={addr(n)}", "#FRO=from@example.jp", "#TO=to@example.jp",
                "#SUB=大きな添付", "#ATT=big.bin", "", "本文"]

    def test_64_mib_attachment_arrives_exactly(self):
        data = big_bytes()
        self.write("big.bin", data)
        self.write_command(self.command(131))
        server = self.serve(131)
        with server:
            res = self.run_tolvex(limit=300)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(len(server.sessions), 1)
        session = server.sessions[0]
        acc = sjis("big.bin") + b"\r\n-----\r\n" + CRLF + sjis("本文") + CRLF
        expected = ref.attachment_message(acc, [(b"big.bin", data)], b"from@example.jp",
                                          b"to@example.jp", subject=sjis("大きな添付"))
        expected = ref.stamped(expected, ref.stamp_of(session.message))
        self.assertTrue(session.message + b".\r\n" == expected, "message differs")
        self.assertTrue(self.spool == [expected + CRLF], "TEMP.TXT differs")
        self.assert_one_record(0, b"")
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))

    def test_spool_gone_after_a_refused_message(self):
        self.write("big.bin", big_bytes()[: 4 * 1024 * 1024])
        self.write_command(self.command(132))
        with self.serve(132, replies={"MESSAGE": b"552 too large\r\n"}):
            res = self.run_tolvex(limit=300)
        self.assertEqual(res.returncode, 69, res.stderr)
        self.assert_one_record(999, b"552 too large\r\n")
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))

    def test_spool_gone_after_closing_the_window_during_the_send(self):
        self.write("big.bin", big_bytes())
        self.write_command(self.command(133))
        # The server stops reading after 354: the send stalls in the middle.
        with self.serve(133, replies={"DATA": [b"354 go ahead\r\n", 20.0]}) as server:
            p = self.spawn(limit=200)
            deadline = time.monotonic() + 60
            while not self.exists("TEMP.TXT") and time.monotonic() < deadline:
                time.sleep(0.2)
            # Well into the message: what the server has not read piles up.
            while not (server.sessions and server.sessions[0].unread() > 65536) \
                    and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertIsNone(p.poll())
            self.assertEqual(wintool("close", 30).returncode, 0)
            ended, err = self.wait_exit(p)
        self.assertEqual(p.returncode, 130, err)
        self.assertEqual(self.log_records(), [])
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))
        self.assertTrue(os.path.exists(self.path("command.txt")))
