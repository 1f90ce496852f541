"""adjtimelog log: the report, the raw log's fate and the exit status."""
import os
import shutil
import unittest

import harness
from harness import IS_ROOT, RAW, SandboxTest, program

USAGE = (b"\nUsage : %s <action> [option]\n\n"
         b"Action:\n"
         b"        log: Write log to file!\n"
         b"   database: Insert log to database!\n"
         b"Option:\n"
         b"        -s server  : specify the server name(Server's hostname)\n"
         b"        -p path    : specify the path of log file\n")
NO_RAW_LOG = b"/tmp/update_time.log \xce\xde \xbb\xf2 \xbf\xd5\xa3\xa1\n"
HEAD = b" 7 Dec 09:49:19 ntpdate[812]: "


def line(rest, pid=812):
    return b" 7 Dec 09:49:19 ntpdate[%d]: %s" % (pid, rest)


class CommandLine(SandboxTest):
    def test_usage_for_missing_or_unknown_actions(self):
        exe = program("adjtimelog").encode()
        for args in ([], ["-p", "/x/report.log"], ["Log"], [""]):
            r = self.box.adjtimelog(*args)
            self.assertEqual(r.returncode, 1, args)
            self.assertEqual(r.stderr, USAGE % exe, args)
            self.assertEqual(r.stdout, b"", args)

    def test_default_paths_on_a_fresh_node_never_reach_the_machines_files(self):
        # An outer sandbox stands for the machine, with a report, a backlog
        # and a raw log of its own; a run in the sandbox inside it with
        # every default (report, state directory) sees none of them.
        inner = ("printf '%s' > /tmp/update_time.log && env -u STATE_DIRECTORY %s log -p"
                 % (line(b"step time server 192.0.2.10 offset 1.5 sec\n").decode(), program("adjtimelog")))
        sandbox = shutil.copy(harness.SANDBOX, self.box.dir)  # the tree may lie under /tmp
        script = ("mkdir /qm4107/log && echo report > /qm4107/log/ntpError.log && "
                  "echo backlog > /var/lib/adjtimelog/backlog.0 && echo raw > /tmp/update_time.log && "
                  "%s --host node01 -- sh -c \"$1\" && "
                  "cat /qm4107/log/ntpError.log /var/lib/adjtimelog/backlog.0 /tmp/update_time.log"
                  % sandbox)
        inner += " && stat -c '%a %U' /var/lib/adjtimelog /qm4107/log && cat /qm4107/log/ntpError.log"
        r = self.box.run(["/bin/sh", "-c", script, "sh", inner])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"700 root\n755 root\n[node01: step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.5\n"
                                   b"report\nbacklog\nraw\n", "made inside; the machine's unchanged")


class Report(SandboxTest):
    def run_log(self, raw, report_name="report.log"):
        if raw is not None:
            self.box.write_raw(raw)
        report = self.box.path(report_name)
        r = self.box.adjtimelog("log", "extra", "-s", "db:1521/x", "-p", report)
        return r, report

    def test_worked_examples_byte_for_byte(self):
        raw = b"".join([
            line(b"step time server 192.0.2.10 offset 1.234567 sec\n"),
            line(b"adjust time server 192.0.2.10 offset -0.000123 sec\n"),
            line(b"step time server 192.0.2.10 offset 0.600000 sec\n"),
            line(b"adjust time server 192.0.2.10 offset -1.500000 sec\n"),
            line(b"no server suitable for synchronization found\n"),
        ])
        r, report = self.run_log(raw)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr, b"")
        self.assertEqual(self.box.read(report),
                         b"[node01: step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.234567\n"
                         b"[node01: step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 0.600000\n"
                         b"[node01: adjust:812]<<7 Dec 09:49:19 >>192.0.2.10 : -1.500000\n")
        self.assertEqual(os.listdir(self.box.tmp), [], "nothing left in /tmp")
        self.assertEqual(os.listdir(self.box.state), ["lock"], "nothing left to deliver")

    def test_rejected_lines_and_a_last_line_without_line_end(self):
        raw = (line(b"step time server a offset 2.0 sec\n")
               + b" 1 Mar 22:25:43 ntpdate[2182]: the NTP socket is in use, exiting\n"
               + b"garbage\n"
               + line(b"step time server b offset 0.1 sec"))
        r, report = self.run_log(raw)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout,
                         b"AnalyzeLogFile::separateLog offset or serverIp false! \n"
                         b"AnalyzeLogFile::analyze separateLog false! \n"
                         b"AnalyzeLogFile::separateLog set time! \n"
                         b"AnalyzeLogFile::separateLog pid false! \n"
                         b"AnalyzeLogFile::analyze separateLog false! \n")
        self.assertEqual(self.box.read(report),
                         b"[node01: step:812]<<7 Dec 09:49:19 >>a : 2.0\n"
                         b"[node01: step:812]<<7 Dec 09:49:19 >>b : 0.1\n")

    def test_missing_or_empty_raw_log(self):
        r, report = self.run_log(None)
        self.assertEqual((r.returncode, r.stdout), (0, NO_RAW_LOG))
        self.assertEqual(self.box.read(report), b"", "created all the same")
        r, report = self.run_log(b"")
        self.assertEqual((r.returncode, r.stdout), (0, NO_RAW_LOG))
        self.assertEqual(self.box.read(self.box.raw()), b"", "an empty raw log stays")

    def test_long_report_lines_stay_whole(self):
        server = b"s" * 300
        r, report = self.run_log(line(b"step time server %s offset 3 sec\n" % server)
                                 + line(b"step time server x offset 4 sec\n"))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.box.read(report),
                         b"[node01: step:812]<<7 Dec 09:49:19 >>" + server + b" : 3\n"
                         b"[node01: step:812]<<7 Dec 09:49:19 >>x : 4\n")

    def test_symbolic_link_raw_log(self):
        target = self.box.path("target.log")
        with open(target, "wb") as f:
            f.write(line(b"step time server l offset 5 sec\n"))
        os.symlink(target, self.box.raw())
        r, report = self.run_log(None)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b">>l : 5\n", self.box.read(report))
        self.assertFalse(os.path.lexists(self.box.raw()), "the link is consumed")
        self.assertEqual(self.box.read(target), line(b"step time server l offset 5 sec\n"))


class NothingIsLost(SandboxTest):
    RAW = line(b"step time server 192.0.2.10 offset 1.0 sec\n") + line(b"adjust time server 192.0.2.10 offset 9.5 sec\n")

    def test_unwritable_report_keeps_the_lines_for_the_next_run(self):
        self.box.write_raw(self.RAW)
        with open(self.box.path("a-file"), "w"):
            pass
        bad = self.box.path("a-file/report.log")
        r = self.box.adjtimelog("log", "-p", bad)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"AnalyzeLogFile::write %s false! Not a directory\n" % bad.encode())
        self.assertFalse(os.path.exists(self.box.raw()))
        self.assertEqual(self.box.backlog(), self.RAW, "the lines wait in the state directory")

        for target in ("/dev/full", self.box.path("a-directory")):
            os.makedirs(self.box.path("a-directory"), exist_ok=True)
            r = self.box.adjtimelog("log", "-p", target)
            self.assertEqual(r.returncode, 1, target)
            self.assertTrue(r.stdout.startswith(b"AnalyzeLogFile::write %s false! " % target.encode()))
            self.assertEqual(self.box.backlog(), self.RAW)

        good = self.box.path("report.log")
        r = self.box.adjtimelog("log", "-p", good)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.box.read(good).count(b"\n"), 2, "reported exactly once")
        self.assertEqual(self.box.backlog(), b"")

    def test_copy_left_by_a_killed_run_comes_first(self):
        claimed = os.path.join(self.box.tmp, "update_time.log.claimed")
        with open(claimed, "wb") as f:
            f.write(line(b"step time server old offset 1 sec\n"))
        self.box.write_raw(line(b"step time server new offset 1 sec\n"))
        report = self.box.path("report.log")
        self.assertEqual(self.box.adjtimelog("log", "-p", report).returncode, 0)
        self.assertEqual(self.box.adjtimelog("log", "-p", report).returncode, 0)
        lines = self.box.read(report).splitlines()
        self.assertEqual([l.split(b">>")[1] for l in lines], [b"old : 1", b"new : 1"])

    @unittest.skipUnless(IS_ROOT, "planting files as another user needs root")
    def test_files_planted_by_another_user_are_never_trusted(self):
        fake = line(b"step time server 6.6.6.6 offset 66.6 sec\n")
        for name, kind in (("update_time.log.claimed", "file"), ("update_time.log.merging", "file"),
                           ("update_time.log.lock", "file"), ("update_time.log.staging", "link")):
            p = os.path.join(self.box.tmp, name)
            if kind == "link":
                os.symlink(self.box.path("victim"), p)
            else:
                with open(p, "wb") as f:
                    f.write(fake)
            os.lchown(p, 65534, 65534)
        self.box.write_raw(self.RAW)
        report = self.box.path("report.log")
        r = self.box.adjtimelog("log", "-p", report)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        self.assertNotIn(b"66.6", self.box.read(report))
        self.assertEqual(self.box.read(report).count(b"\n"), 2)

        # The directory of earlier versions' claimed copies, planted: never
        # read, left alone.
        planted = os.path.join(self.box.tmp, ".adjtimelog-0")
        os.mkdir(planted, 0o700)
        with open(os.path.join(planted, "claimed"), "wb") as f:
            f.write(fake)
        os.chown(planted, 65534, 65534)
        self.box.write_raw(self.RAW)
        r = self.box.adjtimelog("log", "-p", report)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        self.assertNotIn(b"66.6", self.box.read(report))
        self.assertEqual(os.listdir(planted), ["claimed"])

        # The state directory, taken over: refused, the raw log untouched.
        os.chown(self.box.state, 65534, 65534)
        self.box.write_raw(self.RAW)
        r = self.box.adjtimelog("log", "-p", report)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"AnalyzeLogFile::claim %s false! not a private directory "
                                   b"(a directory of uid 0 with mode 0700): remove it\n" % self.box.state.encode())
        self.assertEqual(self.box.read(self.box.raw()), self.RAW)

    def test_writer_appending_while_runs_repeat(self):
        # The writer and the runs share the sandbox's /tmp: run both inside it.
        script = self.box.path("concurrent_writer.py")
        for name in ("concurrent_writer.py", "pending.py"):
            shutil.copy(os.path.join(os.path.dirname(__file__), name), self.box.path(name))
        report = self.box.path("report.log")
        r = self.box.run(["python3", script, program("adjtimelog"), report, "3000", "40"], timeout=600)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        self.assertIn(b"lost=0 duplicated=0", r.stdout)
        failed_runs = int(r.stdout.split(b"failed-runs=")[1].split()[0])
        self.assertGreater(failed_runs, 0, "put-backs were exercised")


if __name__ == "__main__":
    unittest.main()
