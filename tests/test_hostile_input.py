"""Hostile raw logs, reports and command lines: each gives its result, a
clear message where one is due, no crash, and loses nothing."""
import hashlib
import os
import subprocess
import unittest

from harness import SandboxTest, program

NO_RAW_LOG = b"/tmp/update_time.log \xce\xde \xbb\xf2 \xbf\xd5\xa3\xa1\n"
LINE = b" 7 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset 1.5 sec\n"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).digest()


class HostileRawLog(SandboxTest):
    def log(self):
        return self.box.adjtimelog("log", "-p", self.box.path("report"))

    def test_fifo_and_directory_are_refused_and_left(self):
        os.mkfifo(self.box.raw())
        r = self.log()  # must not block on the FIFO
        self.assertEqual((r.returncode, r.stdout), (1, b"AnalyzeLogFile::claim /tmp/update_time.log false! "
                                                       b"a FIFO (not the time job's raw log): remove it\n"))
        os.unlink(self.box.raw())
        os.mkdir(self.box.raw())
        r = self.log()
        self.assertEqual((r.returncode, r.stdout), (1, b"AnalyzeLogFile::claim /tmp/update_time.log false! "
                                                       b"a directory (not the time job's raw log): remove it\n"))
        self.assertTrue(os.path.isdir(self.box.raw()))

    def test_link_to_the_shadow_file_is_read_never_written(self):
        before = digest("/etc/shadow")
        os.symlink("/etc/shadow", self.box.raw())
        r = self.log()
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.box.read(self.box.path("report")), b"")
        self.assertNotIn(b"root:", r.stdout, "no line of it is shown")
        self.assertEqual(digest("/etc/shadow"), before)
        self.assertFalse(os.path.lexists(self.box.raw()), "the link is consumed, its target stays")

    def test_huge_line_without_line_end_and_nul_bytes(self):
        self.box.write_raw(b"\x00" * 4096 + b"\n" + LINE + b"x" * (100 << 20))
        r = self.log()
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b"AnalyzeLogFile::readLog /tmp/update_time.log false! 1 line longer "
                                            b"than 65536 bytes dropped (104857600 bytes)\n"), r.stdout[:200])
        self.assertEqual(r.stdout.count(b"AnalyzeLogFile::analyze separateLog false! \n"), 1, "the NUL line")
        self.assertEqual(self.box.read(self.box.path("report")).count(b"\n"), 1)
        self.assertFalse(os.path.exists(self.box.raw()))

    def test_thousands_of_arguments(self):
        self.box.write_raw(LINE)
        r = self.box.adjtimelog("log", *(["extra"] * 5000), "-p", self.box.path("report"))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.box.read(self.box.path("report")).count(b"\n"), 1)
        r = self.box.adjtimelog(*(["-x"] * 5000))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Usage : ", r.stderr)
        r = subprocess.run([program("qmems"), "start"] + ["x"] * 5000, stdout=subprocess.PIPE,
                           stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"=" * 49, r.stdout)


class HostileReport(SandboxTest):
    def test_report_through_a_link(self):
        target = self.box.path("real-report")
        os.symlink(target, self.box.path("report"))
        self.box.write_raw(LINE)
        r = self.box.adjtimelog("log", "-p", self.box.path("report"))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.box.read(target).count(b"\n"), 1)

    def test_full_file_system_keeps_the_report_whole_and_the_lines(self):
        small = self.box.path("small")
        os.mkdir(small)
        report = os.path.join(small, "report")
        raw = LINE * 2000  # about 140 kB of report lines, more than the file system holds
        self.box.write_raw(raw)
        script = ('mount -t tmpfs -o size=64k tmpfs "$1" && printf "old line\\n" > "$1/report" && '
                  '"$2" log -p "$1/report"; rc=$?; cat "$1/report"; exit $rc')
        r = self.box.run(["/bin/sh", "-c", script, "sh", small, program("adjtimelog")])
        self.assertEqual(r.returncode, 1, r.stdout[-300:])
        self.assertTrue(r.stdout.startswith(b"AnalyzeLogFile::write %s false! No space left on device\n"
                                            % report.encode()), r.stdout[:200])
        self.assertTrue(r.stdout.endswith(b"\nold line\n"), "cut back to what it held")
        self.assertEqual(self.box.backlog(), raw)


if __name__ == "__main__":
    unittest.main()
