"""What an operator sees of a fleet: three nodes fed the real captures
(steps, failures to set the clock, no eligible servers) upload to one site
database, one of them stops; sitedb report's table and page (opened in
headless Chromium), on SQLite and on PostgreSQL; the metrics file of a node,
read by a Prometheus text-format parser; the alert rules, by promtool."""
import json
import os
import re
import shutil
import sqlite3
import subprocess
import time
import unittest
import zlib

import harness
import pgserver
from harness import SandboxTest, program

HERE = os.path.dirname(os.path.abspath(__file__))
FEEDS = {
    "node01": ["11-ntpdate-step-minus1.5", "01-ntpdate-default", "14-ntpdate-B-plus2"],
    "node02": ["03-ntpdate-eperm", "73-ntpsec-ntpd-q-eperm", "70-ntpsec-ntpd-q"],
    "node03": ["18-ntpdate-noserver", "51-chronyd-q"],
}
# The table, those needing attention first: node03 is silent, node02 fails,
# node01 steps (corrections of 128 ms or more, whatever the tool called
# them: chronyd's 2 us "(step)" is none). No node has three corrections
# under 128 ms, so no drift.
TABLE = [
    ["node03", "0", "-", "-0.000002", "-", "1", "0", "node03", "yes", "no server reached or clock not set"],
    ["node02", "0", "-", "-0.000006", "-", "2", "0", "node02", "no", "no server reached or clock not set"],
    ["node01", "2", "+2.197933", "+2.197933", "-", "0", "0", "node01", "no", "-"],
]
HEADER = ["NODE", "STEPS", "LARGEST-STEP", "LARGEST-OFFSET", "DRIFT-PPM", "FAILURES", "FUTURE", "LAST-REPORT",
          "SILENT", "LAST-FAILURE"]
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def raw_of(node):
    data = b""
    for capture in FEEDS[node]:
        with open(os.path.join(HERE, "captures", capture + ".log"), "rb") as f:
            data += f.read()
    return data


def expected_rows(last_reports):
    return [HEADER] + [row[:7] + [time.strftime("%Y-%m-%d %H:%M:%SZ", time.gmtime(last_reports[row[7]]))] + row[8:]
                       for row in TABLE]


def png_is_blank(path):
    with open(path, "rb") as f:
        data = f.read()
    pixels, at = b"", 8
    while at < len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == b"IDAT":
            pixels += data[at + 8:at + 8 + size]
        at += 12 + size
    return len(set(zlib.decompress(pixels))) < 16


class Fleet(SandboxTest):
    def upload(self, env, *args):
        """The three nodes' runs; node03 then stops (its rows two hours old)."""
        for node in sorted(FEEDS):
            box = harness.Sandbox(host=node)
            box.write_raw(raw_of(node))
            r = box.adjtimelog("database", *args, env=env)
            self.assertEqual(r.returncode, 0, r.stdout)

    def report(self, env, *args):
        page = self.box.path("fleet.html")
        r = subprocess.run([program("sitedb"), "report", "--since", "2026-12-08", "--silent", "15m", "--html", page]
                           + list(args), env=dict(os.environ, **env), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        return r.stdout.decode(), page

    def check_formats(self, env, last, *args):
        """The table's columns start where its header's do; TSV and JSON say the same."""
        table, page = self.report(env, *args)
        lines = table.splitlines()
        self.assertEqual([re.split(r"  +", l) for l in lines], expected_rows(last))
        for column in HEADER[1:]:
            at = lines[0].index(column)
            self.assertTrue(all(l[at - 1] == " " and l[at - 2] != "" for l in lines[1:]), table)
        tsv = self.report(env, "--format", "tsv", *args)[0]
        self.assertEqual([l.split("\t") for l in tsv.splitlines()], expected_rows(last))
        got = json.loads(self.report(env, "--format", "json", "--sort", "name", *args)[0])
        self.assertEqual([n["node"] for n in got], ["node01", "node02", "node03"])
        self.assertEqual((got[0]["steps"], got[0]["largest_step"], got[0]["drift_ppm"], got[0]["silent"]),
                         (2, 2.197933, None, False))
        self.assertEqual((got[2]["failures"], got[2]["last_failure"], got[2]["silent"], got[2]["future_rows"]),
                         (1, "no server reached or clock not set", True, 0))
        self.assertEqual(got[2]["last_report"], time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(last["node03"])))
        return page

    def check_page(self, page):
        if not shutil.which("chromium"):
            self.skipTest("Debian's chromium is not installed")
        profile = self.box.path("chromium")
        os.mkdir(profile)
        dom = subprocess.run(CHROMIUM + ["--user-data-dir=" + profile, "--dump-dom", "file://" + page],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120).stdout.decode()
        for node in FEEDS:
            self.assertIn('<svg class="timeline" data-node="%s"' % node, dom)
        self.assertIn("silent for 2h", dom)
        self.assertNotIn("http", dom.replace("http://www.w3.org", ""), "nothing from elsewhere")
        shot = os.path.join(harness.BUILD_DIR, "fleet-report.png")
        subprocess.run(CHROMIUM + ["--user-data-dir=" + profile, "--window-size=1000,1100", "--screenshot=" + shot,
                                   "file://" + page], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=True)
        self.assertFalse(png_is_blank(shot), shot)

    def test_on_the_stand_in_site_database(self):
        env = {"SITEDB_DIR": self.box.path("db")}
        subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)
        self.upload(env)
        con = sqlite3.connect(self.box.path("db/orcl.db"))
        con.execute("UPDATE NTPADJUSTS SET RUNTIME = RUNTIME - 7200 WHERE NODE = 'node03'")
        con.commit()
        last = dict(con.execute("SELECT NODE, MAX(RUNTIME) FROM NTPADJUSTS GROUP BY NODE").fetchall())
        con.close()
        self.check_page(self.check_formats(env, last))

    @unittest.skipIf(pgserver.available(), pgserver.available())
    def test_on_a_postgresql_site_server(self):
        server = pgserver.Server()
        self.addCleanup(server.stop)
        db, uri = server.new_database()
        self.upload({}, "-s", uri)
        server.psql("UPDATE dbu.ntpadjusts SET runtime = runtime - 7200 WHERE node = 'node03'", db)
        last = dict((n, int(t)) for n, t in (l.split("|") for l in server.psql(
            "SELECT node, max(runtime) FROM dbu.ntpadjusts GROUP BY node", db).split()))
        self.check_formats({}, last, uri)

    @unittest.skipIf(pgserver.available(), pgserver.available())
    def test_report_finds_the_password_where_libpq_does(self):
        server = pgserver.Server()
        self.addCleanup(server.stop)
        db, _ = server.new_database()
        secret = self.box.path("secret")
        with open(secret, "w") as f:
            f.write("s3cr3t pass\n")
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (db, server.dir, server.port)
        subprocess.run([program("sitedb"), "init", "--user", "reader", "--password-file", secret, admin], check=True,
                       stdout=subprocess.DEVNULL)
        uri = "postgresql://127.0.0.1:%d/%s" % (server.port, db)
        pgpass = self.box.path("pgpass")
        with open(pgpass, "w") as f:
            f.write("127.0.0.1:%d:%s:reader:s3cr3t pass\n" % (server.port, db))
        os.chmod(pgpass, 0o600)
        home = self.box.path("home")
        os.mkdir(home)
        shutil.copy(pgpass, os.path.join(home, ".pgpass"))
        clean = {k: v for k, v in os.environ.items() if not k.startswith("PG")}

        def report(*args, **env):
            return subprocess.run([program("sitedb"), "report", "--user", "reader", "--format", "tsv"] + list(args)
                                  + [uri], env=dict(dict(clean, HOME=self.box.path("nohome")), **env), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)

        for how, r in [("PGPASSWORD", report(PGPASSWORD="s3cr3t pass")), ("PGPASSFILE", report(PGPASSFILE=pgpass)),
                       ("~/.pgpass", report(HOME=home)), ("--password-file", report("--password-file", secret))]:
            self.assertEqual((r.returncode, r.stderr), (0, b""), how)
            self.assertTrue(r.stdout.startswith(b"NODE\tSTEPS"), how)
        r = report()
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"sitedb: no password for reader: none was given", r.stderr)
        r = report(PGPASSWORD="wrong")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"ORA-01017", r.stderr, "a wrong password is not a missing one")

        # On a terminal the report asks, echo off.
        status, said = harness.run_on_pty([program("sitedb"), "report", "--user", "reader", uri],
                                          dict(clean, HOME=self.box.path("nohome")), b"Password for user reader: ",
                                          "s3cr3t pass")
        self.assertEqual(status, 0, said)
        self.assertNotIn(b"s3cr3t", said, "not echoed")
        self.assertIn(b"NODE", said)

    def test_metrics_file_for_node_exporter(self):
        prom = self.box.path("prom")
        os.mkdir(prom)
        self.box.write_raw(raw_of("node01") + raw_of("node02"))
        written = int(os.stat(self.box.raw()).st_mtime)
        r = self.box.adjtimelog("log", "-p", self.box.path("report"), "-m", prom)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(self.box.adjtimelog("log", "-p", self.box.path("report"), "-m", prom).returncode, 0,
                         "nothing to do")
        self.box.write_raw(raw_of("node03"))
        self.assertEqual(self.box.adjtimelog("log", "-p", "/proc/report", "-m", prom).returncode, 1)
        self.assertEqual(sorted(os.listdir(prom)), ["adjtimelog.prom"])
        parse = ("import json, sys; from prometheus_client.parser import text_string_to_metric_families as f; "
                 "print(json.dumps([[s.name, s.labels, s.value] for m in f(sys.stdin.read()) for s in m.samples]))")
        with open(os.path.join(prom, "adjtimelog.prom")) as text:
            samples = json.loads(subprocess.run(["/usr/bin/python3", "-c", parse], stdin=text, check=True,
                                                stdout=subprocess.PIPE).stdout)
        got = {(name, tuple(sorted(labels.items()))): v for name, labels, v in samples}
        self.assertEqual(got[("adjtimelog_records_total", (("kind", "step"),))], 1)
        self.assertEqual(got[("adjtimelog_records_total", (("kind", "adjust"),))], 3)
        self.assertEqual(got[("adjtimelog_records_total", (("kind", "failure"),))], 2)
        self.assertEqual(got[("adjtimelog_steps_total", ())], 2, "-1.5 s (a step) and +2.2 s (a slew, so ntpdate said)")
        self.assertEqual(got[("adjtimelog_last_offset_seconds", (("server", ""),))], -0.000002, "seen, if not delivered")
        self.assertEqual(got[("adjtimelog_last_run_success", (("action", "log"),))], 0, "the last run failed")
        self.assertGreater(got[("adjtimelog_last_run_timestamp_seconds", (("action", "log"),))],
                           got[("adjtimelog_last_delivery_timestamp_seconds", (("action", "log"),))] - 1)
        self.assertEqual(got[("adjtimelog_backlog_bytes", ())], len(raw_of("node03")), "waiting for the report")
        self.assertEqual(got[("adjtimelog_dead_letters", ())], 0)
        self.assertGreaterEqual(got[("adjtimelog_raw_log_modified_timestamp_seconds", ())], written)

    def test_metrics_file_whatever_the_server_name_and_only_in_a_safe_directory(self):
        prom = self.box.path("prom")
        os.mkdir(prom)
        server = b'a"b\\c\xff\xe4\xb8\xad\x01'
        self.box.write_raw(b" 7 Dec 09:49:19 ntpdate[812]: step time server " + server + b" offset 1.5 sec\n")
        r = self.box.adjtimelog("log", "-p", self.box.path("report"), "-m", prom)
        self.assertEqual(r.returncode, 0, r.stdout)
        parse = ("import json, sys; from prometheus_client.parser import text_string_to_metric_families as f; "
                 "print(json.dumps([s.labels for m in f(sys.stdin.read()) for s in m.samples "
                 "if s.name == 'adjtimelog_last_offset_seconds']))")
        with open(os.path.join(prom, "adjtimelog.prom"), encoding="utf-8") as text:
            labels = json.loads(subprocess.run(["/usr/bin/python3", "-c", parse], stdin=text, check=True,
                                               stdout=subprocess.PIPE).stdout)
        self.assertEqual(labels, [{"server": 'a"b\\c\\xff\u4e2d\\x01'}])
        # A directory any user may swap the file in is refused; the run's
        # delivery is not.
        os.chmod(prom, 0o777)
        self.box.write_raw(raw_of("node01"))
        r = self.box.adjtimelog("log", "-p", self.box.path("report"), "-m", prom)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"may be written by other users and is not sticky", r.stdout)
        self.assertEqual(self.box.backlog(), b"")

    def test_hostile_names_and_rows_stamped_in_the_future(self):
        env = {"SITEDB_DIR": self.box.path("db")}
        subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)
        now = int(time.time())
        evil = "evil\x1b]0;owned\x07\x1b[2J" + "x" * 40
        con = sqlite3.connect(self.box.path("db/orcl.db"))
        con.executemany("INSERT INTO NTPADJUSTS VALUES (?, ?, '', 's', ?, ' adjust:1', ?)",
                        [(1, evil, "0.001", now - 60), (2, "ahead", "0.001", now - 7200),
                         (3, "ahead", "0.001", now + 86400), (4, "ahead", "0.001", now + 120)])
        con.commit()
        con.close()
        r = subprocess.run([program("sitedb"), "report", "--silent", "1h"], env=dict(os.environ, **env),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertNotIn(b"\x1b", r.stdout)
        self.assertNotIn(b"\x07", r.stdout)
        self.assertIn(b"evil\\x1B]0;owned\\x07\\x1B[2J" + b"x" * 40, r.stdout)
        lines = r.stdout.decode().splitlines()
        at = lines[0].index("FUTURE")
        self.assertEqual({l[at - 2:at + 6].strip() for l in lines[1:]}, {"0", "1"}, r.stdout)
        got = {n["node"]: n for n in json.loads(subprocess.run(
            [program("sitedb"), "report", "--silent", "1h", "--format", "json"], env=dict(os.environ, **env),
            stdout=subprocess.PIPE, check=True).stdout)}
        self.assertEqual(set(got), {evil, "ahead"}, "the name itself, to a JSON parser")
        self.assertEqual((got["ahead"]["future_rows"], got["ahead"]["silent"]), (1, False),
                         "two minutes ahead is a clock's skew; a day ahead is the future")
        self.assertEqual(got["ahead"]["last_report"], time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now + 120)))

    def test_a_classic_line_of_today_is_in_todays_report(self):
        """Whatever today's day of the month, one digit or two: the row keeps
        it whole and the report places the event where it happened."""
        env = {"SITEDB_DIR": self.box.path("db")}
        subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)
        at = time.gmtime(time.time() - 3600)
        stamp = "%2d %s" % (at.tm_mday, time.strftime("%b %H:%M:%S", at))
        self.box.write_raw(stamp.encode() + b" ntpdate[7]: adjust time server 192.0.2.1 offset -0.001 sec\n")
        r = self.box.adjtimelog("database", env=dict(env, TZ="UTC"))
        self.assertEqual(r.returncode, 0, r.stdout)
        con = sqlite3.connect(self.box.path("db/orcl.db"))
        self.assertEqual(con.execute("SELECT TIME FROM NTPADJUSTS").fetchall(), [(stamp.lstrip() + " ",)])
        con.close()
        got = json.loads(subprocess.run([program("sitedb"), "report", "--since", "2h", "--format", "json"],
                                        env=dict(os.environ, **env), stdout=subprocess.PIPE, check=True).stdout)
        self.assertEqual([(n["node"], n["rows"], n["largest_offset"]) for n in got], [("node01", 1, -0.001)])

    def test_a_page_for_ten_thousand_nodes(self):
        """10,000 nodes over 7 days: every bucket of every timeline filled
        (a row per node every 84 minutes); the page stays small and opens
        in a headless Chromium in a few seconds."""
        env = {"SITEDB_DIR": self.box.path("db")}
        subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)
        now = int(time.time())
        subprocess.run(["python3", os.path.join(HERE, "..", "bench", "make_fleet.py"), "sqlite",
                        self.box.path("db/orcl.db"), "10000", "7", "5040", str(now)], check=True)
        page = self.box.path("fleet.html")
        r = subprocess.run([program("sitedb"), "report", "--since", "7d", "--silent", "3h", "--format", "json",
                            "--html", page], env=dict(os.environ, **env), stdout=subprocess.PIPE, check=True)
        nodes = json.loads(r.stdout)
        self.assertEqual(len(nodes), 10000)
        self.assertEqual(sum(n["silent"] for n in nodes), 0)
        for n in nodes:
            drift = (int(n["node"][4:9]) * 37) % 101 - 50
            if abs(drift) <= 20:  # larger drifts step at every correction, 84 minutes apart
                self.assertLess(abs(n["drift_ppm"] - drift), max(2, abs(drift) / 10), n)
        self.assertEqual(os.stat(page).st_mode & 0o777, 0o644)
        self.assertLess(os.path.getsize(page), 5 * 1024 * 1024)
        if not shutil.which("chromium"):
            self.skipTest("Debian's chromium is not installed")
        profile = self.box.path("chromium")
        os.mkdir(profile)
        shot = os.path.join(harness.BUILD_DIR, "fleet-report-10k.png")
        start = time.monotonic()
        subprocess.run(CHROMIUM + ["--user-data-dir=" + profile, "--window-size=1200,1400", "--screenshot=" + shot,
                                   "file://" + page], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=True)
        self.assertLess(time.monotonic() - start, 10, "the screenshot of the page at 10,000 nodes")
        self.assertFalse(png_is_blank(shot), shot)

    def test_alert_rules(self):
        if not shutil.which("promtool"):
            self.skipTest("promtool (Debian's prometheus) is not installed")
        r = subprocess.run(["promtool", "check", "rules", os.path.join(HERE, "..", "contrib", "prometheus",
                                                                        "adjtimelog.rules.yml")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(r.returncode, 0, r.stdout.decode())


if __name__ == "__main__":
    unittest.main()
