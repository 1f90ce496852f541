"""What adjtimelog makes of the output of today's time tools: the real
captures in captures/ through both actions, and the real tools themselves
(NTPsec's ntpdate, chronyd) run against a chronyd server on loopback."""
import glob
import os
import shutil
import sqlite3
import subprocess
import unittest

from harness import IS_ROOT, SandboxTest, program

HERE = os.path.dirname(os.path.abspath(__file__))
NO_RAW_LOG = b"/tmp/update_time.log \xce\xde \xbb\xf2 \xbf\xd5\xa3\xa1\n"

# Per capture, the rows it gives: TIME, SERVERIP, OFFSET, PID (NODE is node01).
ROWS = {
    "01-ntpdate-default": [("2026-12-08 23:33:40.138702 (+0000)", "127.0.0.1", "-0.000049", " adjust:")],
    # The tool could not slew or set the clock: a failure, never a correction.
    "03-ntpdate-eperm": [("2026-12-08 23:33:40.746531 (+0000)", "127.0.0.1", None, ":")],
    "04-ntpdate-q": [("2026-12-08 23:33:41.58728 (+0000)", "127.0.0.1", "-0.000024", " adjust:")],
    "05-ntpdate-b": [("2026-12-08 23:33:41.409250 (+0000)", "127.0.0.1", "+0.000102", " step:")],
    "08-ntpdate-d": [("2026-12-08 23:33:42.425711 (+0000)", "127.0.0.1", "-0.000003", " adjust:")],
    "11-ntpdate-step-minus1.5": [("2026-12-08 23:33:43.444176 (+0000)", "127.0.0.1", "-1.500049", " step:")],
    "14-ntpdate-B-plus2": [("2026-12-08 23:33:45.308890 (+0000)", "127.0.0.1", "+2.197933", " adjust:")],
    "16-ntpdate-q-plus12": [("2026-12-08 23:33:46.89583 (+0000)", "127.0.0.1", "-12.299995", " adjust:")],
    "18-ntpdate-noserver": [(None, None, None, ":")],
    "19-ntpdate-unresolvable": [(None, None, None, ":")],
    "20-ntpdate-unsync": [(None, None, None, ":")],
    "21-ntpdate-ipv6": [("2026-12-08 23:33:49.719381 (+0000)", "::1", "-0.000049", " adjust:")],
    "22-ntpdate-localhost": [("2026-12-08 23:33:49.991209 (+0000)", "::1", "-0.000051", " adjust:")],
    "23-ntpdate-multi": [("2026-12-08 23:33:51.272395 (+0000)", "::1", "+0.000003", " adjust:")],
    "28-ntpdate-s": [],
    "31-ntpdate-badopt": [("2026-12-08 23:33:54.877822 (+0000)", "127.0.0.1", "-0.000002", " adjust:")],
    "34-ntpsec-ntpd-q-inuse": [("2026-12-08T23:33:57", None, None, ":2020")],
    "35-ntpdate-sigterm": [],
    "40-ntpdig": [("2026-12-08 23:34:00.453941 (+0000)", "127.0.0.1", "-0.000020", " adjust:")],
    "41-sntp": [("2026-12-08 23:34:00.981988 (+0000)", "127.0.0.1", "-0.000055", " adjust:")],
    "42-ntpdig-json": [("2026-12-08T23:34:01.509113+0000", "127.0.0.1", "-0.000103", " adjust:")],
    "43-ntpdig-json-fail": [(None, None, None, ":")],
    "50-chronyd-Q": [("2026-12-08T23:34:08Z", None, "-0.000004", " adjust:")],
    "51-chronyd-q": [("2026-12-08T23:34:17Z", None, "-0.000002", " step:")],
    "53-chronyd-q-noserver": [("2026-12-08T23:34:40Z", None, None, ":")],
    "54-chronyd-q-port0": [("2026-12-08T23:34:54Z", None, "-0.000005", " step:")],
    "56-chronyd-q-eperm": [("2026-12-08T23:35:04Z", None, None, ":")],
    "70-ntpsec-ntpd-q": [("2026-12-08T23:35:21", None, "-0.000006", " adjust:5693")],
    "72-ntpsec-ntpd-q-dead": [("2026-12-08T23:36:02", None, None, ":6983")],
    "73-ntpsec-ntpd-q-eperm": [("2026-12-08T23:36:29", None, None, ":8541")],
    "74-ntpsec-ntpd-q-name": [("2026-12-08T23:40:48", None, "+0.000018", " adjust:28852")],
    "75-ntpdate-veth": [("2026-12-08 23:36:37.295856 (+0000)", "192.0.2.10", "-0.000049", " adjust:")],
    "77-ntpdate-name-server": [("2026-12-08 23:40:55.277098 (+0000)", "192.0.2.10", "+0.000013", " adjust:")],
}

# The captures whose event is noteworthy, and their report lines.
REPORT = {
    "05-ntpdate-b": b"[node01: step:]<<2026-12-08 23:33:41.409250 (+0000)>>127.0.0.1 : +0.000102\n",
    "11-ntpdate-step-minus1.5": b"[node01: step:]<<2026-12-08 23:33:43.444176 (+0000)>>127.0.0.1 : -1.500049\n",
    "14-ntpdate-B-plus2": b"[node01: adjust:]<<2026-12-08 23:33:45.308890 (+0000)>>127.0.0.1 : +2.197933\n",
    "16-ntpdate-q-plus12": b"[node01: adjust:]<<2026-12-08 23:33:46.89583 (+0000)>>127.0.0.1 : -12.299995\n",
    "51-chronyd-q": b"[node01: step:]<<2026-12-08T23:34:17Z>> : -0.000002\n",
    "54-chronyd-q-port0": b"[node01: step:]<<2026-12-08T23:34:54Z>> : -0.000005\n",
}


def captures():
    return sorted(glob.glob(os.path.join(HERE, "captures", "*.log")))


def name(path):
    return os.path.basename(path)[:-len(".log")]


class Captures(SandboxTest):
    def test_every_capture_is_known(self):
        self.assertEqual(sorted(ROWS), [name(p) for p in captures()])

    def test_log_action_reports_each_capture(self):
        report = self.box.path("report.log")
        for path in captures():
            with open(path, "rb") as f:
                data = f.read()
            self.box.write_raw(data)
            r = self.box.adjtimelog("log", "-p", report)
            self.assertEqual(r.returncode, 0, name(path))
            self.assertEqual(r.stdout, b"" if data else NO_RAW_LOG, name(path))
            self.assertEqual(self.box.read(report), REPORT.get(name(path), b""), name(path))
            os.unlink(report)

    def test_database_action_stores_every_event(self):
        # All captures in one raw log, as a job that ran each tool in turn leaves it.
        env = {"SITEDB_DIR": self.box.path("db")}
        db = subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env),
                            stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        raw = b""
        for path in captures():
            with open(path, "rb") as f:
                raw += f.read()
        self.box.write_raw(raw)
        r = self.box.adjtimelog("database", env=env)
        self.assertEqual(r.returncode, 0, r.stdout)
        want = [("node01",) + row for n in sorted(ROWS) for row in ROWS[n]]
        self.assertTrue(r.stdout.startswith(b"starting to insert: %d >>>>>> \n" % len(want)), r.stdout)
        self.assertTrue(r.stdout.endswith(b" Finish insert!\n"), r.stdout)
        con = sqlite3.connect(db)
        rows = con.execute("SELECT NODE, TIME, SERVERIP, OFFSET, PID FROM NTPADJUSTS ORDER BY NTPID").fetchall()
        con.close()
        self.assertEqual(rows, want)


CHRONY_SERVER = """local stratum 8
allow 127.0.0.1
bindaddress 127.0.0.1
cmdport 0
pidfile {dir}/chronyd-server.pid
"""

# Inside the sandbox, in a network namespace of its own: a chronyd server on
# loopback that never touches the clock (-x), then the clients as a cron job
# runs them, appending to the raw log. Both only query.
PEER_SCRIPT = """set -u
ip link set lo up
chronyd -x -d -u root -f "$1/server.conf" >"$1/server.out" 2>&1 &
server=$!
sleep 1
ntpdate -q 127.0.0.1 >>/tmp/update_time.log 2>&1
chronyd -Q -u root -f /dev/null 'server 127.0.0.1 iburst' >>/tmp/update_time.log 2>&1
kill $server
wait $server
cp /tmp/update_time.log "$1/raw.copy"
exec "$2" log -p "$1/report.log"
"""


@unittest.skipUnless(IS_ROOT, "the real time tools run as root in a network namespace")
@unittest.skipUnless(shutil.which("ntpdate") and shutil.which("chronyd"),
                     "Debian's ntpsec-ntpdate and chrony are not installed")
class RealTools(SandboxTest):
    def test_ntpdate_and_chronyd_against_a_real_server(self):
        with open(self.box.path("server.conf"), "w") as f:
            f.write(CHRONY_SERVER.format(dir=self.box.dir))
        r = self.box.run(["unshare", "--net", "/bin/sh", "-c", PEER_SCRIPT, "peer", self.box.dir,
                          program("adjtimelog")], timeout=120)
        raw = self.box.read(self.box.path("raw.copy")).decode()
        self.assertEqual(r.returncode, 0, (r.stdout, r.stderr, raw))
        self.assertEqual(r.stdout, b"", raw)
        lines = raw.splitlines()
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \(\+0000\) [+-]0\.\d{6} "
                                   r"\+/- \d+\.\d{6} 127\.0\.0\.1 s8 no-leap$")
        wrong = [l for l in lines if " System clock wrong by " in l]
        self.assertEqual(len(wrong), 1, raw)
        self.assertFalse(os.path.exists(self.box.raw()), "the raw log was consumed")
        # Both offsets are far below a second and neither tool stepped: nothing to report.
        self.assertEqual(self.box.read(self.box.path("report.log")), b"")

        # The same output through the database action: one row per tool.
        env = {"SITEDB_DIR": self.box.path("db")}
        db = subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env),
                            stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        self.box.write_raw(raw.encode())
        r = self.box.adjtimelog("database", env=env)
        self.assertEqual(r.returncode, 0, r.stdout)
        con = sqlite3.connect(db)
        rows = con.execute("SELECT TIME, SERVERIP, OFFSET, PID FROM NTPADJUSTS ORDER BY NTPID").fetchall()
        con.close()
        fields = lines[0].split(" ")
        self.assertEqual(rows[0], (" ".join(fields[:3]), "127.0.0.1", fields[3], " adjust:"))
        stamp, _, rest = wrong[0].partition(" ")
        self.assertEqual(rows[1], (stamp, None, rest.split(" ")[4], " adjust:"))
        self.assertEqual(len(rows), 2)
