"""Hostile servers that leave the session waiting: one that takes the
message's DATA and then never reads, one that resets the connection in the
middle of the message, one that closes during the greeting. No event tells
the session, so each run ends through the two-minute time-out: one LOG.txt
record of state 999, exit 69, TEMP.TXT gone, peak memory bounded. Each
class is its own ctest entry (label slow), so they can run side by side."""

import socket
import struct
import unittest

from harness import CLOSE, Script, ScriptedSmtpServer
from test_hostile import MIB, HostileRun

# The stall, then 1201 ticks of 100 ms in one state; the last tick of a
# loaded machine may come late.
TIMED_OUT_FROM, TIMED_OUT_BY = 119.5, 140.0


def big_attachment():
    # 16 MiB of varied bytes, about 22 MB of Base64: more than the two
    # sockets' buffers can hold between them.
    block = bytes(range(256)) * 4096
    return b"".join(block[i:] + block[:i] for i in range(16))


class ResettingServer(ScriptedSmtpServer):
    """Once a megabyte of the message has arrived, resets the connection:
    SO_LINGER with a zero time, then close."""

    def _receive_data(self, conn, session, data):
        got = len(data)
        while got < MIB:
            chunk = self._recv(conn)
            if not chunk:
                return None
            got += len(chunk)
        session.data = b"reset after %d bytes" % got
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        return None


class TimedOut(HostileRun):
    def time_out(self, n, script, *extra):
        s, record, err, run = self.end_in_failure(n, script, *extra, limit=TIMED_OUT_BY)
        self.assertGreaterEqual(run.elapsed, TIMED_OUT_FROM)
        self.assertEqual(record, (999, b""))
        self.assertEqual(err, b"tolvex: delivery failed in state 999: (no reply)")
        return s


class NeverReads(TimedOut):
    def test_server_that_takes_data_and_stops_reading(self):
        self.write("big.bin", big_attachment())
        s = self.time_out(209, Script(replies={"DATA": [b"354 go ahead\r\n", 300.0]}),
                          "#ATT=big.bin")
        self.assertEqual(s.verbs(), ["HELO", "MAIL", "RCPT", "DATA"])
        self.assertFalse(s.complete)


class ResetInTheMessage(TimedOut):
    server_class = ResettingServer

    def test_reset_in_the_middle_of_data(self):
        self.write("big.bin", big_attachment())
        s = self.time_out(210, Script(), "#ATT=big.bin")
        self.assertEqual(s.verbs(), ["HELO", "MAIL", "RCPT", "DATA"])
        self.assertRegex(s.data, rb"\Areset after \d+ bytes\Z")


class CloseInTheGreeting(TimedOut):
    def test_close_in_the_middle_of_the_greeting(self):
        # The first piece passes the 220 check and HELO goes out to a
        # connection that is gone; no reply ever comes.
        s = self.time_out(211, Script(greeting=[b"220-e2e.test ESMTP", CLOSE]))
        self.assertEqual(s.commands, [])


if __name__ == "__main__":
    unittest.main()
