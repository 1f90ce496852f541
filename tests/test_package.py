"""The Debian package: what it holds, with which modes, that it runs from
where it is unpacked, that lintian finds no error in it, and that systemd
accepts its units."""
import os
import subprocess
import unittest

import harness

SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


@unittest.skipIf(harness.sanitized_build(), "the package is built once, from the normal build's tests")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = harness.debian_package()
        cls.root = harness.scratch_dir("qm4107-root.")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    def test_contents_and_modes(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        entries = {}
        for line in listing.splitlines():
            fields = line.split()
            entries[fields[-1].lstrip(".")] = (fields[0], fields[1])
        self.assertEqual(entries["/usr/bin/qmems"], ("-rwsr-xr-x", "root/root"))
        self.assertEqual(entries["/usr/bin/adjtimelog"], ("-rwxr-xr-x", "root/root"))
        for path in ("/usr/bin/sitedb", "/usr/share/man/man1/adjtimelog.1.gz",
                     "/usr/share/man/man1/sitedb.1.gz", "/usr/share/man/man8/qmems.8.gz",
                     "/usr/share/qm4107/sql/sitedb.sql", "/usr/share/qm4107/sql/ntpadjusts.sql",
                     "/lib/systemd/system/adjtimelog-log.timer",
                     "/lib/systemd/system/adjtimelog-database.service",
                     "/lib/systemd/system/adjtimelog-job.timer", "/usr/bin/adjtimelog-job",
                     "/usr/share/doc/qm4107-node-tools/copyright"):
            self.assertIn(path, entries)
        self.assertTrue(any(p.endswith("/qm4107/libdmoci.so") for p in entries))
        conffiles = subprocess.run(["dpkg-deb", "--info", self.deb, "conffiles"], stdout=subprocess.PIPE,
                                   check=True).stdout.decode().split()
        self.assertEqual(conffiles, ["/etc/default/adjtimelog", "/etc/logrotate.d/adjtimelog"])
        control = subprocess.run(["dpkg-deb", "--field", self.deb, "Depends"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        for lib in ("libc6", "libcrypt1", "libsqlite3-0", "libstdc++6"):
            self.assertIn(lib, control)

    def test_runs_from_the_unpacked_tree(self):
        box = harness.Sandbox()
        exe = os.path.join(self.root, "usr/bin/adjtimelog")
        box.write_raw(b" 7 Dec 09:49:19 ntpdate[1]: step time server s offset 1 sec\n")
        r = box.run([exe, "log", "-p", box.path("report")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(box.read(box.path("report")), b"[node01: step:1]<<7 Dec 09:49:19 >>s : 1\n")
        env = dict(os.environ, SITEDB_DIR=box.path("db"))
        subprocess.run([os.path.join(self.root, "usr/bin/sitedb"), "init"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        box.write_raw(b" 7 Dec 09:49:19 ntpdate[1]: step time server s offset 1 sec\n")
        r = box.run([exe, "database"], env={"SITEDB_DIR": box.path("db")})
        self.assertEqual(r.returncode, 0, r.stdout)

    def test_lintian_finds_nothing(self):
        r = subprocess.run(["lintian", "--tag-display-limit", "0", self.deb], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        out = r.stdout.decode()
        tags = [l for l in out.splitlines() if l[:2] in ("E:", "W:")]
        self.assertEqual((r.returncode, tags), (0, []), out)

    def test_systemd_accepts_the_units(self):
        units = harness.scratch_dir("qm4107-units.")
        unitdir = os.path.join(self.root, "lib/systemd/system")
        names = sorted(os.listdir(unitdir))
        for name in names:
            text = open(os.path.join(unitdir, name)).read()
            # Checked against the unpacked binary: verify wants it to exist.
            text = text.replace("ExecStart=/usr/bin/", "ExecStart=%s/usr/bin/" % self.root)
            with open(os.path.join(units, name), "w") as f:
                f.write(text)
        r = subprocess.run(["systemd-analyze", "verify", "--man=no"] + names, cwd=units,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, ""))
        timer = open(os.path.join(unitdir, "adjtimelog-database.timer")).read()
        self.assertIn("OnCalendar=*:0/5", timer)
        self.assertIn("Persistent=true", timer)
        self.assertNotIn("PrivateTmp=", open(os.path.join(unitdir, "adjtimelog-log.service")).read())


class FromSource(unittest.TestCase):
    """cmake --install into a prefix: the units name that prefix's programs
    and options file, the options and logrotate files come along, and
    systemd accepts the units as installed."""

    def install(self, prefix, destdir=""):
        subprocess.run(["cmake", "--install", harness.BUILD_DIR, "--prefix", prefix], check=True,
                       env=dict(os.environ, DESTDIR=destdir), stdout=subprocess.DEVNULL)
        return destdir + prefix

    def test_units_follow_the_prefix_and_verify(self):
        prefix = self.install(harness.scratch_dir("qm4107-prefix."))
        unitdir = os.path.join(prefix, "lib/systemd/system")
        for name in ("etc/default/adjtimelog", "etc/logrotate.d/adjtimelog"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, name)), name)
        log = open(os.path.join(unitdir, "adjtimelog-log.service")).read()
        self.assertIn("\nExecStart=%s/bin/adjtimelog log " % prefix, log)
        self.assertIn("\nEnvironmentFile=-%s/etc/default/adjtimelog\n" % prefix, log)
        self.assertIn("StateDirectory=adjtimelog\n", log)
        r = subprocess.run(["systemd-analyze", "verify", "--man=no"] + sorted(os.listdir(unitdir)), cwd=unitdir,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, ""))
        # The prefix /usr keeps its options in /etc, as a package does.
        staged = self.install("/usr", harness.scratch_dir("qm4107-destdir."))
        root = staged[:-len("/usr")]
        self.assertTrue(os.path.isfile(os.path.join(root, "etc/default/adjtimelog")))
        self.assertIn("EnvironmentFile=-/etc/default/adjtimelog\n",
                      open(os.path.join(staged, "lib/systemd/system/adjtimelog-database.service")).read())


if __name__ == "__main__":
    unittest.main()
