"""A work folder that fills up: each test mounts a small tmpfs of its own
as the work folder. LOG.txt keeps exactly its former bytes when a record
cannot go in whole (exit 73); a spool that cannot be written sends nothing
and leaves nothing behind. And a directory in LOG.txt's place after a
failed delivery: the log failure's 73 outranks the delivery's 69."""

import errno
import os
import subprocess
import unittest

from harness import E2ETest, Script, ScriptedSmtpServer, addr

EX_CANTCREAT = 73
PAGE = 4096  # tmpfs hands out space in pages


def former_log(size):
    """`size` bytes of earlier records, the last one's text padded."""
    record = b"2026/12/06 9:00:00 0 \r\n"
    head = record * (size // len(record) - 2)
    last = b"2026/12/06 9:30:00 140 550 5.1.1 "
    return head + last + b"r" * (size - len(head) - len(last) - 2) + b"\r\n"


class FullWorkFolder(E2ETest):
    def setUp(self):
        super().setUp()
        res = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0755", "tmpfs",
                              self.dir], capture_output=True)
        self.assertEqual(res.returncode, 0, f"cannot mount a tmpfs (root needed): {res.stderr!r}")
        self.addCleanup(subprocess.run, ["umount", self.dir], check=True)

    def fill(self, _session=None):
        """Takes every free page of the work folder."""
        with open(self.path("fill.bin"), "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * PAGE)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
        self.assertEqual(os.statvfs(self.dir).f_bavail, 0)

    def deliver_then_fail_the_log(self, n, before):
        self.write("LOG.txt", before)
        self.write_command([f"#HOS={addr(n)}", "#TO=a@example.jp", "#SUB=満杯の表", "", "本文"])
        # The disk fills while the message is in the server's hands: the
        # spool is written, the record after the session is not.
        with ScriptedSmtpServer(addr(n), Script(on_message=self.fill)) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_CANTCREAT, res.stderr)
        self.assertEqual(server.errors, [])
        self.assertTrue(server.sessions[0].complete)
        self.assertEqual(server.sessions[0].verbs()[-1], "QUIT")
        self.assertTrue(self.read("LOG.txt") == before, "LOG.txt changed")
        lines = res.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("LOG.txt", lines[0])
        self.assert_clean_end()

    def test_record_that_fits_in_part_is_taken_out_again(self):
        # Ten bytes left in LOG.txt's last page: the write goes in part-way.
        self.deliver_then_fail_the_log(226, former_log(PAGE - 10))

    def test_record_without_room_for_a_byte(self):
        self.deliver_then_fail_the_log(227, former_log(PAGE))

    def test_first_record_of_an_empty_log(self):
        self.deliver_then_fail_the_log(228, b"")

    def test_spool_that_does_not_fit_sends_nothing(self):
        # A 2 MiB attachment outside the 512 KiB folder, by a link.
        data_path = os.path.join(os.path.dirname(self.dir), os.path.basename(self.dir) + ".bin")
        with open(data_path, "wb") as f:
            f.write(bytes(range(256)) * 8192)
        self.addCleanup(os.remove, data_path)
        os.symlink(data_path, self.path("大表.bin"))
        self.write_command([f"#HOS={addr(229)}", "#TO=a@example.jp", "#ATT=大表.bin", "", "x"])
        with ScriptedSmtpServer(addr(229)) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_CANTCREAT, res.stderr)
        self.assertEqual(server.sessions, [])
        lines = res.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("TEMP.TXT", lines[0])
        self.assertFalse(self.exists("LOG.txt"))
        self.assert_clean_end()
        self.assertFalse(self.exists("TEMP.TXT.new"))
        self.assertEqual(sorted(os.listdir(self.dir)), ["command.txt", "大表.bin"])


class LogInPlaceOfAFile(E2ETest):
    def test_directory_as_log_after_a_failed_delivery(self):
        os.mkdir(self.path("LOG.txt"))
        self.write_command([f"#HOS={addr(230)}", "#TO=a@example.jp", "", "x"])
        reject = b"554 5.7.1 no\r\n"
        with ScriptedSmtpServer(addr(230), Script(greeting=reject)) as server:
            res = self.run_tolvex()
        self.assertEqual(res.returncode, EX_CANTCREAT, res.stderr)
        self.assertEqual(server.sessions[0].commands, [])
        # Both failures are reported, the record's first.
        lines = res.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertIn("LOG.txt", lines[0])
        self.assertIn("state 120: 554 5.7.1 no", lines[1])
        self.assertTrue(os.path.isdir(self.path("LOG.txt")))
        self.assertEqual(os.listdir(self.path("LOG.txt")), [])
        self.assert_clean_end()


if __name__ == "__main__":
    unittest.main()
