"""Another local user (nobody) against root's runs: what it plants in /tmp
or beside the report is refused and left where it is, nothing of root's is
disclosed or written outside, and every real line is delivered exactly once
after the planted object is gone. Also what no input may do to a node:
wedge it by size or by a row the database refuses, lose lines to a reboot,
or reach a terminal with control bytes."""
import os
import resource
import sqlite3
import stat
import subprocess
import sys
import time
import unittest

from harness import IS_ROOT, SandboxTest, program

NOBODY = 65534
LINE = b" 7 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset 1.5 sec\n"
REPORTED = b"[node01: step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.5\n"


def refused(what):
    return (b"AnalyzeLogFile::claim /tmp/update_time.log false! %s (not the time job's raw log): remove it\n"
            % what)


@unittest.skipUnless(IS_ROOT, "acting as another user needs root")
class HostileUser(SandboxTest):
    def setUp(self):
        super().setUp()
        self.env = {"SITEDB_DIR": self.box.path("db")}
        self.victim = self.box.path("victim")
        with open(self.victim, "wb") as f:
            f.write(b"root's own\n")

    def as_nobody(self, script, wait=True):
        """A shell command run by nobody on the sandbox's files from outside;
        $TMP is the sandbox's /tmp."""
        argv = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "/usr/bin/env",
                "TMP=" + self.box.tmp, "/bin/sh", "-c", script]
        if not wait:
            return subprocess.Popen(argv)
        subprocess.run(argv, check=True)

    def log(self, report=None):
        return self.box.adjtimelog("log", "-p", report or self.box.path("report"))

    def database(self, *args):
        return self.box.adjtimelog("database", *args, env=self.env)

    def rows(self):
        con = sqlite3.connect(self.box.path("db/orcl.db"))
        try:
            return con.execute("SELECT TIME, SERVERIP, OFFSET, PID FROM NTPADJUSTS ORDER BY NTPID").fetchall()
        finally:
            con.close()

    def sitedb(self):
        subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **self.env), check=True,
                       stdout=subprocess.DEVNULL)

    def test_the_site_database_is_root_only(self):
        self.sitedb()
        self.box.write_raw(LINE)
        self.assertEqual(self.database().returncode, 0)
        for name in ("db", "db/orcl.db", "db/orcl.db-wal", "db/orcl.db-shm"):
            self.assertEqual(stat.S_IMODE(os.stat(self.box.path(name)).st_mode), 0o700 if name == "db" else 0o600,
                             name)
        with self.assertRaises(subprocess.CalledProcessError, msg="nobody cannot open, read or lock it"):
            self.as_nobody("sqlite3 %s 'SELECT * FROM DMOCI_USERS' 2>/dev/null" % self.box.path("db/orcl.db"))

    def test_a_failed_run_copies_nothing_out(self):
        self.sitedb()
        secret_dir = self.box.path("secret")
        os.mkdir(secret_dir, 0o700)
        with open(os.path.join(secret_dir, "s"), "wb") as f:
            f.write(b"SECRET\n")
        self.box.write_raw(LINE)
        r = self.database("-s", "localhost:1521/absent")
        self.assertEqual(r.returncode, 1)
        self.as_nobody("ln -s %s/s $TMP/update_time.log" % secret_dir)
        r = self.database()
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stdout.startswith(refused(b"a symbolic link of uid 65534 in a directory of uid 0")),
                        r.stdout)
        self.assertEqual(os.listdir(self.box.tmp), ["update_time.log"], "nothing made in /tmp")
        self.assertEqual(os.readlink(self.box.raw()), secret_dir + "/s", "the link left as it is")
        self.assertEqual(self.rows(), [])
        os.unlink(self.box.raw())
        self.assertEqual(self.database().returncode, 0)
        self.assertEqual(self.rows(), [("7 Dec 09:49:19 ", "192.0.2.10", "1.5", " step:812")])

    def test_report_beside_another_users_files(self):
        self.as_nobody("ln -s %s $TMP/report" % self.victim)
        self.box.write_raw(LINE)
        r = self.log("/tmp/report")
        self.assertEqual((r.returncode, r.stdout), (1, b"AnalyzeLogFile::write /tmp/report false! a symbolic link "
                                                       b"of uid 65534 in a directory of uid 0\n"))
        theirs = self.box.path("theirs")
        os.mkdir(theirs)
        os.chown(theirs, NOBODY, NOBODY)
        r = self.log(theirs + "/report")
        self.assertEqual((r.returncode, r.stdout), (1, b"AnalyzeLogFile::write %s/report false! its directory %s "
                                                       b"(uid 65534, mode 0755) may be written by other users and "
                                                       b"is not sticky\n" % (theirs.encode(), theirs.encode())))
        self.assertEqual(os.listdir(theirs), [])
        self.assertEqual(self.box.read(self.victim), b"root's own\n")
        os.unlink(os.path.join(self.box.tmp, "report"))
        self.assertEqual(self.log("/tmp/report").returncode, 0)
        report = os.path.join(self.box.tmp, "report")
        self.assertEqual((self.box.read(report), os.stat(report).st_uid), (REPORTED, 0), "the line waited, once")

    def test_raw_log_planted_by_another_user(self):
        forged = b" 7 Dec 09:49:19 ntpdate[666]: step time server 6.6.6.6 offset 999.000000 sec\n"
        self.as_nobody("printf '%s' > $TMP/update_time.log" % forged.decode().replace("\n", "\\n"))
        holder = self.as_nobody("exec 3>>$TMP/update_time.log; exec sleep 30", wait=False)
        try:
            time.sleep(0.3)
            started = time.monotonic()
            r = self.log()
            self.assertLess(time.monotonic() - started, 3, "refused at once, not after waiting for its writer")
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual((r.returncode, r.stdout), (1, refused(b"a file of uid 65534")))
        self.assertEqual(self.box.read(self.box.raw()), forged, "left as it is")
        for plant, what in (("mkfifo $TMP/update_time.log", b"a FIFO"),
                            ("mkdir $TMP/update_time.log", b"a directory"),
                            ("ln -s /dev/null $TMP/update_time.log",
                             b"a symbolic link of uid 65534 in a directory of uid 0")):
            self.as_nobody("rm -rf $TMP/update_time.log && " + plant)
            r = self.log()
            self.assertEqual((r.returncode, r.stdout), (1, refused(what)), plant)
        self.assertFalse(os.path.exists(self.box.path("report")) and self.box.read(self.box.path("report")))
        self.as_nobody("rm -rf $TMP/update_time.log")
        self.box.write_raw(LINE)
        self.assertEqual(self.log().returncode, 0)
        self.assertEqual(self.box.read(self.box.path("report")), REPORTED)

    def test_the_time_job_never_writes_through_a_plant(self):
        job = [program("adjtimelog-job"), "/bin/echo", LINE.decode().rstrip("\n")]
        self.as_nobody("ln -s %s $TMP/update_time.log" % self.victim)
        r = self.box.run(job)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"adjtimelog-job: /tmp/update_time.log: a symbolic link of uid 65534 in a "
                                   b"directory of uid 0: refused; what /bin/echo printed follows\n" + LINE)
        self.assertEqual(self.box.read(self.victim), b"root's own\n")
        self.as_nobody("rm $TMP/update_time.log && : > $TMP/update_time.log")
        r = self.box.run(job)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"a file of uid 65534: refused", r.stderr)
        self.assertEqual(self.box.read(self.box.raw()), b"", "nobody captures nothing")
        os.unlink(self.box.raw())
        for _ in range(2):
            self.assertEqual(self.box.run(job).returncode, 0)
        st = os.stat(self.box.raw())
        self.assertEqual((self.box.read(self.box.raw()), st.st_uid, stat.S_IMODE(st.st_mode)), (LINE * 2, 0, 0o600))

    def test_a_raw_log_of_any_size_costs_bounded_memory(self):
        # 64 GiB of holes, then a real line: claimed in one run.
        with open(self.box.raw(), "wb") as f:
            f.truncate(64 << 30)
            f.seek(64 << 30)
            f.write(b"\n" + LINE)
        measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL); "
                   "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        r = subprocess.run([sys.executable, "-c", measure] + self.box.command(
            [program("adjtimelog"), "log", "-p", self.box.path("report")]), stdout=subprocess.PIPE, check=True,
            env=dict(os.environ, PWD=self.box.dir), cwd=self.box.dir, timeout=120)
        self.assertLess(int(r.stdout), 64 << 10, "kilobytes of peak memory")
        self.assertEqual(self.box.read(self.box.path("report")), REPORTED)
        self.assertFalse(os.path.exists(self.box.raw()))

    def test_a_row_the_database_refuses_is_set_aside(self):
        self.sitedb()
        con = sqlite3.connect(self.box.path("db/orcl.db"))
        con.execute("CREATE TRIGGER POISON BEFORE INSERT ON NTPADJUSTS WHEN NEW.PID = ' step:13' "
                    "BEGIN SELECT RAISE(ABORT, 'ORA-12899: value too large for column'); END;")
        con.commit()
        con.close()
        poison = LINE.replace(b"[812]", b"[13]").replace(b"192.0.2.10", b"192.0.2.\x1b[2J13")
        self.box.write_raw(LINE + poison + LINE.replace(b"[812]", b"[14]"))
        r = self.database()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"DatabaseManage::insert set aside: time=7 Dec 09:49:19 , pid= step:13 in %s/dead-letters: "
                      b"ORA-12899: value too large for column\n" % self.box.state.encode(), r.stdout)
        self.assertEqual([row[3] for row in self.rows()], [" step:812", " step:14"], "the others flow on")
        letters = os.path.join(self.box.state, "dead-letters")
        self.assertEqual(stat.S_IMODE(os.stat(letters).st_mode), 0o600)
        self.assertTrue(self.box.read(letters).endswith(
            b"\tORA-12899: value too large for column\t" + poison.replace(b"\x1b", b"\\x1B")))
        self.box.write_raw(LINE.replace(b"[812]", b"[15]"))
        self.assertEqual(self.database().returncode, 0, "not tried again")
        self.assertEqual(len(self.rows()), 3)

    def test_a_reboot_during_an_outage_loses_no_line(self):
        self.sitedb()
        lines = [LINE.replace(b"[812]", b"[%d]" % n) for n in (1, 2, 3)]
        self.box.write_raw(lines[0] + lines[1])
        self.assertEqual(self.database("-s", "localhost:1521/down").returncode, 1)
        self.box.empty_tmp()  # what a reboot does to /tmp
        self.box.write_raw(lines[2])
        self.assertEqual(self.database("-s", "localhost:1521/down").returncode, 1)
        self.box.empty_tmp()
        self.assertEqual(self.database().returncode, 0)
        self.assertEqual([row[3] for row in self.rows()], [" step:1", " step:2", " step:3"])

    def test_a_landing_made_anew_after_a_reboot_is_not_read(self):
        # A run killed mid-drain names its landing in the state directory;
        # /tmp is emptied, and nobody, who saw the name, makes it again.
        self.box.write_raw(LINE)
        self.assertEqual(self.log().returncode, 0)
        secret = self.box.path("secret")
        with open(secret, "wb") as f:
            f.write(b" 7 Dec 09:49:19 ntpdate[1]: step time server 10.6.6.6 offset 66.0 sec\n")
        os.chmod(secret, 0o600)
        name = ".adjtimelog-0.00112233aabbccdd"
        forged = LINE.replace(b"192.0.2.10", b"10.6.6.6").decode().replace("\n", "\\n")
        plants = (("mkdir -m 700 $TMP/%s && ln -s %s $TMP/%s/raw" % (name, secret, name),
                   b"a directory of uid 65534 with mode 0700"),
                  ("mkdir $TMP/forged && printf '%s' > $TMP/forged/raw && ln -s forged $TMP/%s" % (forged, name),
                   b"a symbolic link of uid 65534"))
        for plant, what in plants:
            self.as_nobody("rm -rf $TMP/.adjtimelog-0.* $TMP/forged && " + plant)
            with open(os.path.join(self.box.state, "drain"), "w") as f:
                f.write("feedface 0 0 /tmp/%s/raw\n500 1 1" % name)
            r = self.log()
            self.assertEqual(r.returncode, 0, r.stdout)
            self.assertIn(b"AnalyzeLogFile::readLog /tmp/%s/raw is %s" % (name.encode(), what), r.stderr)
            self.assertIn(b"500 bytes of the raw log were lost", r.stderr)
            self.assertEqual(self.box.read(self.box.path("report")), REPORTED, "nothing forged or secret reported")
            self.assertFalse(os.path.exists(os.path.join(self.box.state, "drain")))
        self.assertTrue(os.path.exists(os.path.join(self.box.tmp, "forged", "raw")), "nothing of theirs removed")

    def test_files_an_operator_names_are_replaced_never_written_through(self):
        self.sitedb()
        self.box.write_raw(LINE)
        self.assertEqual(self.database().returncode, 0)
        page = os.path.join(self.box.tmp, "page.html")
        report = [program("sitedb"), "report", "--since", "30d", "--html", page]
        self.as_nobody("ln -s %s $TMP/page.html" % self.victim)
        r = subprocess.run(report, env=dict(os.environ, **self.env), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.box.read(self.victim), b"root's own\n")
        st = os.lstat(page)
        self.assertEqual((stat.S_ISREG(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid), (True, 0o644, 0))
        self.assertIn(b"node01", self.box.read(page))
        self.as_nobody("mkfifo $TMP/fifo.html")
        report[-1] = page = os.path.join(self.box.tmp, "fifo.html")
        started = time.monotonic()
        r = subprocess.run(report, env=dict(os.environ, **self.env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=20)
        self.assertEqual((r.returncode, r.stderr), (1, b"sitedb: %s: a FIFO stands there: remove it\n" % page.encode()))
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(sorted(os.listdir(self.box.tmp)), ["fifo.html", "page.html"], "no temp left behind")
        # A database file that is a link is not opened.
        site = self.box.path("site.db")
        os.symlink(self.victim, site + "-wal")
        r = subprocess.run([program("sitedb"), "init", site], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr),
                         (1, b"sitedb: %s-wal is a symbolic link, not a database file: refused\n" % site.encode()))
        self.assertEqual(self.box.read(self.victim), b"root's own\n")

    def test_control_bytes_never_reach_a_terminal(self):
        self.sitedb()
        raw = (b" 7 Dec\x1b[31m 09:49:19\r ntpdate[812]: step time server 192.0.2.10\x07 offset 1.5 sec\n")
        self.box.write_raw(raw)
        r = self.database("-s", "localhost:1521/down")
        self.assertIn(b"has problem: time=7 Dec\\x1B[31m 09:49:19\\x0D , pid= step:812\n", r.stdout)
        self.assertNotIn(b"\x1b", r.stdout + r.stderr)
        self.assertEqual(self.log().returncode, 0)
        self.assertEqual(self.box.read(self.box.path("report")),
                         b"[node01: step:812]<<7 Dec\\x1B[31m 09:49:19\\x0D >>192.0.2.10\\x07 : 1.5\n")
        self.box.write_raw(raw)
        self.assertEqual(self.database().returncode, 0)
        self.assertEqual(self.rows()[0][:2], ("7 Dec\x1b[31m 09:49:19\r ", "192.0.2.10\x07"), "stored as they are")


if __name__ == "__main__":
    unittest.main()
