"""adjtimelog database against the stand-in client library: rows, progress,
failures, and a second run that inserts every line exactly once."""
import os
import sqlite3
import stat
import subprocess
import time
import unittest

from harness import SandboxTest, program

NO_RAW_LOG = b"/tmp/update_time.log \xce\xde \xbb\xf2 \xbf\xd5\xa3\xa1\n"


def raw_lines(n, first=100):
    return b"".join(b" 7 Dec 09:49:19 ntpdate[%d]: adjust time server 192.0.2.10 offset 0.%d sec\n"
                    % (first + i, i) for i in range(n))


class DatabaseAction(SandboxTest):
    def setUp(self):
        super().setUp()
        self.env = {"SITEDB_DIR": self.box.path("db")}
        r = subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **self.env),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
        self.db = r.stdout.decode().strip()
        self.assertEqual(self.db, self.box.path("db/orcl.db"))

    def insert(self, *args):
        return self.box.adjtimelog("database", *args, env=self.env)

    def rows(self, sql="SELECT NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME FROM NTPADJUSTS ORDER BY NTPID"):
        con = sqlite3.connect(self.db)
        try:
            return con.execute(sql).fetchall()
        finally:
            con.close()

    def sql(self, statement):
        con = sqlite3.connect(self.db)
        con.executescript(statement)
        con.close()

    def test_rows_with_sequence_nulls_and_runtime(self):
        self.box.write_raw(raw_lines(2)
                           + b" 7 Dec 09:49:19 ntpdate[7]: no server suitable for synchronization found\n")
        before = int(time.time())
        r = self.insert("-p", "/ignored/report.log")
        after = int(time.time())
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, b"starting to insert: 3 >>>>>> \n.\n.. Finish insert!\n")
        rows = self.rows()
        self.assertEqual([row[:6] for row in rows], [
            (1, "node01", "7 Dec 09:49:19 ", "192.0.2.10", "0.0", " adjust:100"),
            (2, "node01", "7 Dec 09:49:19 ", "192.0.2.10", "0.1", " adjust:101"),
            (3, "node01", "7 Dec 09:49:19 ", None, None, ":7"),
        ])
        for row in rows:
            self.assertTrue(before <= row[6] <= after, row)
        self.assertFalse(os.path.exists(self.box.raw()))

        self.box.write_raw(raw_lines(1, first=200))
        self.assertEqual(self.insert().returncode, 0)
        self.assertEqual(self.rows("SELECT MAX(NTPID), COUNT(*) FROM NTPADJUSTS"), [(4, 4)])

    def test_progress_lines(self):
        for n, out in ((1, b".\n Finish insert!\n"),
                       (2, b".\n. Finish insert!\n"),
                       (21, b".\n" + b"." * 20 + b"\n Finish insert!\n")):
            self.box.write_raw(raw_lines(n))
            r = self.insert()
            self.assertEqual(r.stdout, b"starting to insert: %d >>>>>> \n" % n + out, n)

    def test_missing_raw_log(self):
        r = self.insert()
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, NO_RAW_LOG + b"DatabaseManage::getData NULL!\n"
                         b"DatabaseManage get date false!\n"
                         b"starting to insert: 0 >>>>>> \n Finish insert!\n")

    def assert_second_run_inserts_everything_once(self, lines, *args):
        self.assertEqual(self.box.backlog(), raw_lines(lines), "the lines wait")
        self.assertEqual(self.rows(), [], "nothing committed")
        r = self.insert(*args)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(sorted(row[5] for row in self.rows()),
                         sorted(" adjust:%d" % (100 + i) for i in range(lines)))

    def test_session_that_does_not_start(self):
        self.box.write_raw(raw_lines(3))
        r = self.insert("-s", "localhost:1521/nosuchdb")
        self.assertEqual(r.returncode, 1)
        lines = r.stdout.split(b"\n")
        self.assertTrue(lines[0].startswith(b"DatabaseManage::insertLine init: ORA-12514: "), lines[0])
        self.assertIn(b"localhost:1521/nosuchdb", lines[0])
        self.assertEqual(lines[1], b"starting to insert: 3 >>>>>> ")
        self.assertTrue(lines[2].startswith(b"DatabaseManage::insert has problem: time=7 Dec 09:49:19 , pid= adjust:100"))
        self.assert_second_run_inserts_everything_once(3)

    def test_wrong_password(self):
        other = self.box.path("db/other.db")
        subprocess.run([program("sitedb"), "init", "--password", "not-tolvem", other], check=True,
                       stdout=subprocess.DEVNULL)
        self.box.write_raw(raw_lines(2))
        r = self.insert("-s", other)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stdout.startswith(b"DatabaseManage::insertLine init: ORA-01017: "), r.stdout)
        self.assert_second_run_inserts_everything_once(2)

    def test_row_refused_by_a_trigger(self):
        self.sql("CREATE TRIGGER REFUSE BEFORE INSERT ON NTPADJUSTS WHEN NEW.PID = ' adjust:105' "
                 "BEGIN SELECT RAISE(ABORT, 'row refused'); END;")
        self.box.write_raw(raw_lines(8))
        r = self.insert()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"starting to insert: 8 >>>>>> \n.\n....DatabaseManage::insert has problem: "
                         b"time=7 Dec 09:49:19 , pid= adjust:105\n")
        self.sql("DROP TRIGGER REFUSE;")
        self.assert_second_run_inserts_everything_once(8)
        self.assertEqual(self.rows("SELECT MIN(NTPID) > 0, COUNT(DISTINCT NTPID) FROM NTPADJUSTS"), [(1, 8)])

    def test_commit_refused_by_a_deferred_constraint(self):
        self.sql("CREATE TABLE NODES (NAME TEXT PRIMARY KEY);"
                 "CREATE TABLE SEEN (NODE TEXT REFERENCES NODES(NAME) DEFERRABLE INITIALLY DEFERRED);"
                 "CREATE TRIGGER NOTE AFTER INSERT ON NTPADJUSTS BEGIN INSERT INTO SEEN VALUES (NEW.NODE); END;")
        self.box.write_raw(raw_lines(3))
        r = self.insert()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"starting to insert: 3 >>>>>> \n.\n..DatabaseManage::insert false!\n")
        self.sql("INSERT INTO NODES VALUES ('node01');")
        self.assert_second_run_inserts_everything_once(3)

    def test_killed_before_commit_leaves_nothing(self):
        # A slow trigger keeps the batch open long enough to kill the run.
        self.sql("CREATE TRIGGER SLOW BEFORE INSERT ON NTPADJUSTS BEGIN "
                 "SELECT COUNT(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                 "WHERE x < 1000000) SELECT x FROM c); END;")
        self.box.write_raw(raw_lines(40))
        proc = subprocess.Popen(self.box.command([program("adjtimelog"), "database"]),
                                env=dict(os.environ, PWD=self.box.dir, **self.env), cwd=self.box.dir,
                                stdout=subprocess.PIPE)
        self.assertEqual(proc.stdout.readline(), b"starting to insert: 40 >>>>>> \n")
        time.sleep(0.5)  # well inside a batch of several seconds
        proc.kill()
        proc.wait()
        proc.stdout.close()
        self.assertEqual(self.rows(), [])
        self.sql("DROP TRIGGER SLOW;")
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(len(self.rows()), 40, "the killed run's lines are taken up first")

    def test_each_line_once_across_a_lost_commit_answer_and_taken_ids(self):
        # Ids the sequence hands out next, taken by a writer of the site's.
        self.sql("INSERT INTO NTPADJUSTS (NTPID, NODE) VALUES (1, 'dba'), (2, 'dba')")
        self.box.write_raw(raw_lines(2))
        r = self.box.adjtimelog("database", env=dict(self.env, DMOCI_FAULT_LOSE_COMMIT_ANSWER="1"))
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertEqual(self.box.backlog(), raw_lines(2), "the node did not hear the commit")
        self.box.write_raw(raw_lines(1, first=200))
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b" is in the site database already\n", r.stdout)
        self.assertEqual([(row[0], row[5]) for row in self.rows() if row[1] == "node01"],
                         [(3, " adjust:100"), (4, " adjust:101"), (5, " adjust:200")])
        self.assertEqual(self.rows("SELECT COUNT(*) FROM NTPDELIVERIES"), [(2,)])
        self.assertEqual(self.box.backlog(), b"")

    def test_a_database_of_an_earlier_version_is_upgraded_in_place(self):
        self.sql("DROP TABLE NTPDELIVERIES; DROP INDEX NTPADJUSTS_NODE_RUNTIME")
        self.box.write_raw(raw_lines(2))
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"DBU.NTPDELIVERIES does not exist", r.stderr)
        indexes = "SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL ORDER BY name"
        for _ in range(2):
            subprocess.run([program("sitedb"), "init"], env=dict(os.environ, **self.env), check=True,
                           stdout=subprocess.DEVNULL)
            self.assertEqual(self.rows(indexes), [("NTPADJUSTS_NODE_RUNTIME",)])
            self.assertEqual(len(self.rows()), 2, "every row kept")
        self.box.write_raw(raw_lines(1, first=300))
        r = self.insert()
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.rows("SELECT COUNT(*) FROM NTPDELIVERIES"), [(1,)])


class SitedbAdmin(SandboxTest):
    def test_init_is_idempotent_and_path_resolves(self):
        env = dict(os.environ, SITEDB_DIR=self.box.path("d"))
        run = lambda *a: subprocess.run([program("sitedb")] + list(a), env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.assertEqual(run("path").stdout, self.box.path("d/orcl.db").encode() + b"\n")
        self.assertEqual(run("path", "//h:1/site").stdout, self.box.path("d/site.db").encode() + b"\n")
        self.assertEqual(run("init").returncode, 0)
        con = sqlite3.connect(self.box.path("d/orcl.db"))
        first = con.execute("SELECT * FROM DMOCI_USERS").fetchall()
        con.close()
        self.assertEqual(run("init", "--password", "changed").returncode, 0)
        con = sqlite3.connect(self.box.path("d/orcl.db"))
        self.assertEqual(con.execute("SELECT * FROM DMOCI_USERS").fetchall(), first, "changes nothing")
        self.assertNotIn("tolvem", first[0][1], "stored hashed")
        con.close()
        # A database of an earlier version, open to every user: made private.
        os.chmod(self.box.path("d"), 0o755)
        os.chmod(self.box.path("d/orcl.db"), 0o644)
        self.assertEqual(run("init").returncode, 0)
        self.assertEqual([stat.S_IMODE(os.stat(self.box.path(p)).st_mode) for p in ("d", "d/orcl.db")],
                         [0o700, 0o600])
        self.assertEqual(run("bogus").returncode, 2)

        # A file whose account table is not ours is refused, and said so.
        other = self.box.path("not-ours.db")
        con = sqlite3.connect(other)
        con.execute("CREATE VIEW DMOCI_USERS AS SELECT 1 AS X")
        con.close()
        r = run("init", other)
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertEqual(r.stderr, b"sitedb: %s: no such column: USERNAME\n" % other.encode())

    def test_prune_removes_old_rows_in_batches_and_refuses_what_is_unclear(self):
        env = dict(os.environ, SITEDB_DIR=self.box.path("d"))
        run = lambda *a: subprocess.run([program("sitedb"), "prune"] + list(a), env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        subprocess.run([program("sitedb"), "init"], env=env, check=True, stdout=subprocess.DEVNULL)
        now = int(time.time())
        con = sqlite3.connect(self.box.path("d/orcl.db"))
        con.executemany("INSERT INTO NTPADJUSTS (NTPID, NODE, RUNTIME) VALUES (?, 'n', ?)",
                        [(i, now - 100 * 86400 - i) for i in range(25000)] + [(99999, now - 3600)])
        con.execute("INSERT INTO NTPDELIVERIES VALUES ('old', 'n', ?), ('new', 'n', ?)", (now - 91 * 86400, now))
        con.commit()
        count = lambda: con.execute("SELECT COUNT(*) FROM NTPADJUSTS").fetchone()[0]
        for bad in (["--older-than", "90"], ["--older-than", "d"], ["--older-than", "-5d"], []):
            r = run(*bad)
            self.assertEqual(r.returncode, 2, bad)
            self.assertIn(b"nothing removed", r.stderr)
        r = run("--older-than", "12h")
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertIn(b"give --force", r.stderr)
        self.assertEqual(count(), 25001, "nothing removed")
        r = run("--older-than", "90d")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"25000 rows and 1 delivery records from before "), r.stdout)
        self.assertEqual(con.execute("SELECT NTPID FROM NTPADJUSTS").fetchall(), [(99999,)])
        self.assertEqual(con.execute("SELECT BATCH FROM NTPDELIVERIES").fetchall(), [("new",)])
        r = run("--older-than", "30m", "--force")
        self.assertTrue(r.stdout.startswith(b"1 rows and 0 delivery records"), r.stdout)
        con.close()


if __name__ == "__main__":
    unittest.main()
