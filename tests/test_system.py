"""The Debian package installed with apt into a fresh Debian root, booted
under a real systemd (systemd-nspawn, private network): qmems, the timers
firing with the options of /etc/default, the time job, a failure the journal
shows, logrotate, an upgrade, removal and purge. The root is made once by
debootstrap and cached in /var/cache/qm4107-systest."""
import os
import shutil
import subprocess
import time
import unittest

import harness

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
CACHE = "/var/cache/qm4107-systest"
ROOT = os.path.join(CACHE, "bookworm")
RAW = (b" 7 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset 1.234567 sec\n"
       b"CLOCK: time stepped by -1.500049\n"
       b"2026-12-08 23:33:43.444176 (+0000) -1.500049 +/- 0.000207 127.0.0.1 s8 no-leap\n")
REPORT = (b"[node01: step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.234567\n"
          b"[node01: step:]<<2026-12-08 23:33:43.444176 (+0000)>>127.0.0.1 : -1.500049\n")
# A timer that fires two seconds after it is started, for the test only.
SOON = "[Timer]\nOnActiveSec=2s\n"


def higher_version(deb, out, work):
    """The package again with a higher version and every file newer, as a
    rebuilt package installed over it would be."""
    tree = os.path.join(work, "repack")
    subprocess.run(["dpkg-deb", "-R", deb, tree], check=True)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        text = f.read()
    version = [l for l in text.splitlines() if l.startswith("Version: ")][0]
    with open(control, "w") as f:
        f.write(text.replace(version, version + "+1"))
    later = time.time() + 3600
    for d, _, files in os.walk(tree):
        for name in files:
            if "DEBIAN" not in d:
                os.utime(os.path.join(d, name), (later, later))
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, out], check=True, stdout=subprocess.DEVNULL)


def why_not():
    if not harness.IS_ROOT:
        return "booting a container needs root"
    for tool in ("debootstrap", "systemd-nspawn", "nsenter"):
        if not shutil.which(tool):
            return "%s is not installed" % tool
    if harness.sanitized_build():
        return "the system test runs once, from the normal build's tests"
    return None


def cached_root():
    if not os.path.exists(os.path.join(ROOT, "usr", "lib", "systemd", "systemd")):
        os.makedirs(CACHE, exist_ok=True)
        tmp = ROOT + ".new"
        shutil.rmtree(tmp, ignore_errors=True)
        subprocess.run(["debootstrap", "--variant=minbase", "--include=systemd,systemd-sysv,dbus",
                        "bookworm", tmp, "http://deb.debian.org/debian"], check=True,
                       stdout=subprocess.DEVNULL, timeout=900)
        shutil.rmtree(ROOT, ignore_errors=True)
        os.rename(tmp, ROOT)
    return ROOT


@unittest.skipIf(why_not(), why_not())
class InstalledUnderSystemd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = harness.scratch_dir("qm4107-system.")
        deb = harness.debian_package()
        cls.upgrade = os.path.join(work, "upgrade.deb")
        higher_version(deb, cls.upgrade, work)
        cls.root = os.path.join(work, "root")
        subprocess.run(["cp", "-a", cached_root(), cls.root], check=True)
        shutil.copy(deb, os.path.join(cls.root, "root", "pkg.deb"))
        shutil.copy(cls.upgrade, os.path.join(cls.root, "root", "upgrade.deb"))
        with open(os.path.join(cls.root, "etc", "hostname"), "w") as f:
            f.write("node01\n")
        # Installed as an operator would, with the host's network for the dependencies.
        r = subprocess.run(["systemd-nspawn", "--quiet", "--register=no", "--keep-unit", "-D", cls.root, "--pipe",
                            "/bin/sh", "-c", "apt-get update -qq && DEBIAN_FRONTEND=noninteractive "
                            "apt-get install -y -qq /root/pkg.deb"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=600)
        if r.returncode != 0:
            raise AssertionError(r.stdout.decode()[-2000:])
        cls.boot = subprocess.Popen(["systemd-nspawn", "--quiet", "--boot", "-D", cls.root, "--register=no",
                                     "--keep-unit", "--private-network", "--console=pipe"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        cls.init = None
        while time.monotonic() < deadline and cls.init is None:
            children = subprocess.run(["pgrep", "-P", str(cls.boot.pid)], stdout=subprocess.PIPE).stdout.split()
            if children and cls.run_in(["test", "-S", "/run/systemd/private"], pid=int(children[0])).returncode == 0:
                cls.init = int(children[0])
            time.sleep(0.2)
        if cls.init is None:
            raise AssertionError("the container did not boot")
        cls.run_in(["systemctl", "is-system-running", "--wait"])

    @classmethod
    def tearDownClass(cls):
        if cls.init:
            cls.run_in(["systemctl", "poweroff"])
        try:
            cls.boot.wait(timeout=60)
        except subprocess.TimeoutExpired:
            cls.boot.kill()
            cls.boot.wait()

    @classmethod
    def run_in(cls, argv, pid=None, input=None):
        # The container's own environment, not this process's: a suite run
        # before in the same process may have pointed SITEDB_DIR elsewhere.
        return subprocess.run(["nsenter", "-t", str(pid or cls.init), "-a"] + argv, input=input,
                              env={"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"},
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)

    def put(self, path, data):
        self.assertEqual(self.run_in(["sh", "-c", "cat > '%s'" % path], input=data).returncode, 0)

    def fire(self, action):
        """Starts the action's timer, alone, and waits for its service to
        finish. Every other timer of the package is stopped first: a timer
        that fires wakes those whose calendar time lies within their
        accuracy, which would take the raw log of a test."""
        unit = "adjtimelog-%s" % action
        dropin = "/etc/systemd/system/%s.timer.d" % unit
        self.run_in(["mkdir", "-p", dropin])
        self.put(dropin + "/soon.conf", SOON.encode())
        self.run_in(["systemctl", "daemon-reload"])
        self.run_in(["systemctl", "stop", "adjtimelog-log.timer", "adjtimelog-database.timer", "adjtimelog-job.timer"])

        def show():
            out = self.run_in(["systemctl", "show", "-p", "Result,ExecMainStatus,ActiveState,InvocationID",
                               unit + ".service"]).stdout.decode()
            return dict(l.split("=", 1) for l in out.splitlines() if "=" in l)

        before = show().get("InvocationID")
        self.assertEqual(self.run_in(["systemctl", "start", unit + ".timer"]).returncode, 0)
        deadline = time.monotonic() + 60
        try:
            while time.monotonic() < deadline:
                props = show()
                if props.get("InvocationID") not in (None, "", before) and props["ActiveState"] in ("inactive", "failed"):
                    journal = self.run_in(["journalctl", "-b", "-u", unit + ".service", "--no-pager"]).stdout.decode()
                    return props, journal[journal.rindex("Starting " + unit):]
                time.sleep(0.5)
            self.fail("%s did not run" % unit)
        finally:
            self.run_in(["systemctl", "stop", unit + ".timer"])
            self.run_in(["rm", "-r", dropin])
            self.run_in(["systemctl", "daemon-reload"])

    def assert_clean(self, journal):
        for bad in ("Permission denied", "denied", "Operation not permitted", "Read-only file system"):
            self.assertNotIn(bad, journal)

    def test_1_qmems_is_set_user_id_root_and_runs_for_root(self):
        shown = self.run_in(["stat", "-c", "%U %a", "/usr/bin/qmems"]).stdout.decode().split()
        self.assertEqual(shown, ["root", "4755"])
        self.put("/usr/local/sbin/unload", b"#!/bin/sh\necho UNLOAD-RAN-AS-$(id -u)\n")
        self.run_in(["chmod", "755", "/usr/local/sbin/unload"])
        r = self.run_in(["qmems", "stop", "--exit"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"UNLOAD-RAN-AS-0", r.stdout)

    def test_2_timers_as_installed(self):
        state = lambda what, unit: self.run_in(["systemctl", what, unit]).stdout.decode().strip()
        self.assertEqual((state("is-enabled", "adjtimelog-log.timer"), state("is-active", "adjtimelog-log.timer")),
                         ("enabled", "active"))
        for timer in ("adjtimelog-database.timer", "adjtimelog-job.timer"):
            self.assertEqual((state("is-enabled", timer), state("is-active", timer)), ("disabled", "inactive"))
        # Nothing to do: said in UTF-8 to the journal; metrics where
        # node_exporter's directory is, without an option edited.
        self.run_in(["mkdir", "-p", "/var/lib/prometheus/node-exporter"])
        props, journal = self.fire("log")
        self.assertEqual(props["Result"], "success", journal)
        self.assertIn("/tmp/update_time.log \u65e0 \u6216 \u7a7a\uff01\n", journal)
        self.assertEqual(self.run_in(["test", "-s", "/var/lib/prometheus/node-exporter/adjtimelog.prom"]).returncode, 0)

    def test_3_log_timer_reports_and_a_failure_shows(self):
        self.put("/tmp/update_time.log", RAW)
        props, journal = self.fire("log")
        self.assertEqual((props["Result"], props["ExecMainStatus"]), ("success", "0"), journal)
        self.assert_clean(journal)
        self.assertEqual(self.run_in(["cat", "/qm4107/log/ntpError.log"]).stdout, REPORT)
        # An unwritable report: the run fails visibly and the lines wait.
        self.run_in(["sh", "-c", "mv /qm4107/log/ntpError.log /qm4107/log/kept && mkdir /qm4107/log/ntpError.log"])
        self.put("/tmp/update_time.log", RAW)
        props, journal = self.fire("log")
        self.assertEqual((props["Result"], props["ExecMainStatus"]), ("exit-code", "1"), journal)
        self.assertIn("status=1/FAILURE", journal)
        self.assertIn("AnalyzeLogFile::write /qm4107/log/ntpError.log false!", journal)
        self.assertEqual(self.run_in(["sh", "-c", "cat /var/lib/adjtimelog/backlog.*"]).stdout, RAW,
                         "the lines wait in the state directory")
        self.assertEqual(self.run_in(["stat", "-c", "%a %U", "/var/lib/adjtimelog"]).stdout, b"700 root\n")
        self.run_in(["sh", "-c", "rmdir /qm4107/log/ntpError.log && mv /qm4107/log/kept /qm4107/log/ntpError.log"])
        props, journal = self.fire("log")
        self.assertEqual(props["Result"], "success", journal)
        self.assertEqual(self.run_in(["cat", "/qm4107/log/ntpError.log"]).stdout, REPORT * 2)

    def test_4_database_timer_inserts_where_etc_default_says(self):
        self.assertEqual(self.run_in(["sitedb", "init"]).returncode, 0)
        self.put("/tmp/update_time.log", RAW)
        props, journal = self.fire("database")
        self.assertEqual((props["Result"], props["ExecMainStatus"]), ("success", "0"), journal)
        self.assert_clean(journal)
        self.assertIn("Finish insert!", journal)
        rows = self.run_in(["sqlite3", "/var/lib/sitedb/orcl.db", "SELECT NODE, PID FROM NTPADJUSTS"]).stdout
        self.assertEqual(rows, b"node01| step:812\nnode01| step:\n")
        # Pointed at another site database with one edit of /etc/default.
        self.assertEqual(self.run_in(["sitedb", "init", "//site/other"]).returncode, 0)
        self.run_in(["sed", "-i", r"s|^#DATABASE_OPTIONS=.*|DATABASE_OPTIONS=\"-s //site/other\"|",
                     "/etc/default/adjtimelog"])
        self.put("/tmp/update_time.log", RAW)
        props, journal = self.fire("database")
        self.assertEqual(props["Result"], "success", journal)
        rows = self.run_in(["sqlite3", "/var/lib/sitedb/other.db", "SELECT COUNT(*) FROM NTPADJUSTS"]).stdout
        self.assertEqual(rows, b"2\n")
        self.assertEqual(self.run_in(["stat", "-c", "%a", "/var/lib/sitedb"]).stdout, b"700\n")

    def test_5_time_job_then_log_timer(self):
        # A stand-in time tool prints what ntpdate prints.
        self.put("/usr/local/bin/fake-ntpdate", b"#!/bin/sh\necho \" 7 Dec 10:00:00 ntpdate[4242]: step time server "
                                                b"$1 offset 2.5 sec\"\n")
        self.run_in(["chmod", "755", "/usr/local/bin/fake-ntpdate"])
        self.run_in(["sed", "-i", r"s|^TIME_JOB=.*|TIME_JOB=\"/usr/local/bin/fake-ntpdate 192.0.2.10\"|",
                     "/etc/default/adjtimelog"])
        props, journal = self.fire("job")
        self.assertEqual(props["Result"], "success", journal)
        self.assertEqual(self.run_in(["stat", "-c", "%a %U", "/tmp/update_time.log"]).stdout, b"600 root\n")
        props, journal = self.fire("log")
        self.assertEqual(props["Result"], "success", journal)
        self.assertTrue(self.run_in(["cat", "/qm4107/log/ntpError.log"]).stdout.endswith(
            b"[node01: step:4242]<<7 Dec 10:00:00 >>192.0.2.10 : 2.5\n"))

    def test_6_logrotate_between_runs_reports_every_line_once(self):
        lines = [b" 7 Dec 11:00:00 ntpdate[%d]: step time server 192.0.2.10 offset 1.0 sec\n" % n for n in (51, 52)]
        self.put("/tmp/update_time.log", lines[0])
        self.assertEqual(self.fire("log")[0]["Result"], "success")
        r = self.run_in(["logrotate", "-f", "/etc/logrotate.d/adjtimelog"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.put("/tmp/update_time.log", lines[1])
        self.assertEqual(self.fire("log")[0]["Result"], "success")
        both = self.run_in(["cat", "/qm4107/log/ntpError.log.1", "/qm4107/log/ntpError.log"]).stdout
        self.assertEqual([both.count(b"step:%d]" % n) for n in (51, 52)], [1, 1])
        self.assertEqual(self.run_in(["cat", "/qm4107/log/ntpError.log"]).stdout.count(b"\n"), 1)

    def test_7_upgrade_keeps_timers_and_needs_no_reload(self):
        self.run_in(["systemctl", "enable", "--now", "adjtimelog-log.timer", "adjtimelog-database.timer"])
        r = self.run_in(["dpkg", "-i", "/root/upgrade.deb"])
        self.assertEqual(r.returncode, 0, r.stdout)
        units = ["adjtimelog-%s.%s" % (a, k) for a in ("log", "database", "job") for k in ("service", "timer")]
        shown = self.run_in(["systemctl", "show", "-p", "NeedDaemonReload"] + units).stdout.decode().split()
        self.assertEqual(shown, ["NeedDaemonReload=no"] * len(units))
        for timer in ("adjtimelog-log.timer", "adjtimelog-database.timer"):
            self.assertEqual(self.run_in(["systemctl", "is-active", timer]).stdout, b"active\n", timer)
        self.assertIn(b"\nTIME_JOB=\"/usr/local/bin/fake-ntpdate", self.run_in(["cat", "/etc/default/adjtimelog"]).stdout,
                      "the conffile keeps the operator's edit")

    def test_8_remove_leaves_nothing_that_fires(self):
        r = self.run_in(["sh", "-c", "DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq qm4107-node-tools"])
        self.assertEqual(r.returncode, 0, r.stdout)
        timers = self.run_in(["systemctl", "list-timers", "--all", "--no-legend"]).stdout
        self.assertNotIn(b"adjtimelog", timers)
        failed = self.run_in(["systemctl", "list-units", "--all", "--failed", "--no-legend"]).stdout
        self.assertNotIn(b"adjtimelog", failed)
        links = self.run_in(["sh", "-c", "find /etc/systemd/system -type l -name 'adjtimelog*'"]).stdout
        self.assertEqual(links, b"", "no dangling link")
        self.assertEqual(self.run_in(["test", "-f", "/etc/default/adjtimelog"]).returncode, 0, "conffiles stay")

    def test_9_purge_keeps_reports_and_databases(self):
        self.run_in(["sh", "-c", "install -d -m 0700 /etc/credstore && install -m 0600 /dev/null "
                                 "/etc/credstore/adjtimelog.pgpass"])
        ours = ("/var/lib/prometheus/node-exporter/adjtimelog.prom", "/etc/credstore/adjtimelog.pgpass",
                "/var/lib/systemd/timers/stamp-adjtimelog-log.timer")
        for there in ours:
            self.assertEqual(self.run_in(["test", "-e", there]).returncode, 0, there)
        r = self.run_in(["sh", "-c", "DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qm4107-node-tools"])
        self.assertEqual(r.returncode, 0, r.stdout)
        for gone in ("/usr/bin/adjtimelog", "/usr/bin/qmems", "/usr/bin/sitedb", "/etc/default/adjtimelog",
                     "/etc/logrotate.d/adjtimelog", "/var/lib/adjtimelog") + ours:
            self.assertNotEqual(self.run_in(["test", "-e", gone]).returncode, 0, gone)
        for kept in ("/qm4107/log/ntpError.log", "/var/lib/sitedb/orcl.db"):
            self.assertEqual(self.run_in(["test", "-s", kept]).returncode, 0, kept)


if __name__ == "__main__":
    unittest.main()
