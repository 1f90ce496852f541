"""What an operator sees of a fleet: three nodes fed the real captures
(steps, failures to set the clock, no eligible servers) upload to one site
database, one of them stops; sitedb report's table and page (opened in
headless Chromium), on SQLite and on PostgreSQL; the metrics file of a node,
read by a Prometheus text-format parser; the alert rules, by promtool."""
import json
import os
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
# Per node: steps, largest step, largest offset, drift, failures, silent.
# node01: +2.197933 s and -1.500049 s over the 5 s since 23:33:40.
TABLE = {
    "node01": ("1", "-1.500049", "+2.197933", "+139576.80", "0", ""),
    "node02": ("0", "-", "-0.000006", "-", "2", ""),
    "node03": ("1", "-0.000002", "-0.000002", "-", "1", "yes"),
}
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def raw_of(node):
    data = b""
    for capture in FEEDS[node]:
        with open(os.path.join(HERE, "captures", capture + ".log"), "rb") as f:
            data += f.read()
    return data


def expected_table(last_reports):
    lines = ["%-16s %5s %12s %14s %10s %8s  %-21s %s" % ("NODE", "STEPS", "LARGEST-STEP", "LARGEST-OFFSET",
                                                         "DRIFT-PPM", "FAILURES", "LAST-REPORT", "SILENT")]
    for node in sorted(TABLE):
        steps, step, offset, drift, failures, silent = TABLE[node]
        last = time.strftime("%Y-%m-%d %H:%M:%SZ", time.gmtime(last_reports[node]))
        lines.append("%-16s %5s %12s %14s %10s %8s  %-21s %s" % (node, steps, step, offset, drift, failures,
                                                                 last, silent))
    return "\n".join(lines) + "\n"


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
        table, page = self.report(env)
        self.assertEqual(table, expected_table(last))
        self.check_page(page)

    @unittest.skipIf(pgserver.available(), pgserver.available())
    def test_on_a_postgresql_site_server(self):
        server = pgserver.Server()
        self.addCleanup(server.stop)
        db, uri = server.new_database()
        self.upload({}, "-s", uri)
        server.psql("UPDATE dbu.ntpadjusts SET runtime = runtime - 7200 WHERE node = 'node03'", db)
        last = dict((n, int(t)) for n, t in (l.split("|") for l in server.psql(
            "SELECT node, max(runtime) FROM dbu.ntpadjusts GROUP BY node", db).split()))
        table, _ = self.report({}, uri)
        self.assertEqual(table, expected_table(last))

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

    def test_alert_rules(self):
        if not shutil.which("promtool"):
            self.skipTest("promtool (Debian's prometheus) is not installed")
        r = subprocess.run(["promtool", "check", "rules", os.path.join(HERE, "..", "contrib", "prometheus",
                                                                        "adjtimelog.rules.yml")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(r.returncode, 0, r.stdout.decode())


if __name__ == "__main__":
    unittest.main()
