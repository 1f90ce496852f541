"""adjtimelog database against a real PostgreSQL server behind the stand-in
client library: rows, progress, and every fault followed by a run that
inserts every line exactly once."""
import os
import subprocess
import threading
import time
import unittest

import pgserver
from harness import BUILD_DIR, SandboxTest, program

server = None


def setUpModule():
    global server
    why = pgserver.available()
    if why:
        raise unittest.SkipTest(why)
    server = pgserver.Server()


def tearDownModule():
    if server:
        server.stop()


def raw_lines(n, first=100):
    return b"".join(b" 7 Dec 09:49:19 ntpdate[%d]: adjust time server 192.0.2.10 offset 0.%d sec\n"
                    % (first + i, i) for i in range(n))


class Postgres(SandboxTest):
    def setUp(self):
        super().setUp()
        self.db, self.uri = server.new_database()

    def insert(self, uri=None):
        return self.box.adjtimelog("database", "-s", uri or self.uri)

    def assert_next_run_inserts_everything_once(self, n):
        self.assertEqual(self.box.backlog(), raw_lines(n), "the lines wait")
        self.assertEqual(server.rows(self.db), [], "nothing committed")
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(sorted(row[5] for row in server.rows(self.db)),
                         sorted(" adjust:%d" % (100 + i) for i in range(n)))

    def test_rows_nulls_runtime_and_progress(self):
        self.box.write_raw(raw_lines(20) + b" 7 Dec 09:49:19 ntpdate[7]: no server suitable for synchronization found\n")
        before = int(time.time())
        r = self.insert()
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, b"starting to insert: 21 >>>>>> \n.\n" + b"." * 20 + b"\n Finish insert!\n")
        rows = server.rows(self.db)
        self.assertEqual([row[0] for row in rows], [str(i) for i in range(1, 22)], "ids from the sequence")
        self.assertEqual(rows[0][1:6], ("node01", "7 Dec 09:49:19 ", "192.0.2.10", "0.0", " adjust:100"))
        self.assertEqual(rows[20][1:6], ("node01", "7 Dec 09:49:19 ", "<NULL>", "<NULL>", ":7"))
        self.assertTrue(all(before <= int(row[6]) <= int(time.time()) for row in rows))

    def test_faults_lose_nothing(self):
        cases = [
            ("postgresql://127.0.0.1:1/%s?connect_timeout=3" % self.db, b"ORA-12541: "),
            (self.uri.replace("127.0.0.1", "dbu:not-tolvem@127.0.0.1"), b"ORA-01017: "),
            (self.uri.replace(self.db, "nosuchdb"), b"ORA-12514: "),
        ]
        self.box.write_raw(raw_lines(3))
        for uri, error in cases:
            r = self.insert(uri)
            self.assertEqual(r.returncode, 1, uri)
            self.assertTrue(r.stdout.startswith(b"DatabaseManage::insertLine init: " + error), r.stdout)
            self.assertEqual(self.box.backlog(), raw_lines(3), uri)
        self.assert_next_run_inserts_everything_once(3)

    def refused(self, trigger_sql, expected_stdout, n=8):
        server.psql(trigger_sql, self.db)
        self.box.write_raw(raw_lines(n))
        r = self.insert()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, expected_stdout)
        server.psql("DROP TRIGGER fault ON dbu.ntpadjusts; DROP FUNCTION fault()", self.db)
        self.assert_next_run_inserts_everything_once(n)

    def test_row_refused_by_a_trigger(self):
        self.refused("CREATE FUNCTION fault() RETURNS trigger AS $$ BEGIN "
                     "IF NEW.pid = ' adjust:105' THEN RAISE EXCEPTION 'row refused'; END IF; RETURN NEW; "
                     "END $$ LANGUAGE plpgsql; CREATE TRIGGER fault BEFORE INSERT ON dbu.ntpadjusts "
                     "FOR EACH ROW EXECUTE FUNCTION fault()",
                     b"starting to insert: 8 >>>>>> \n.\n....DatabaseManage::insert has problem: "
                     b"time=7 Dec 09:49:19 , pid= adjust:105\n")

    def test_commit_refused(self):
        self.refused("CREATE FUNCTION fault() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused at commit'; "
                     "END $$ LANGUAGE plpgsql; CREATE CONSTRAINT TRIGGER fault AFTER INSERT ON dbu.ntpadjusts "
                     "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION fault()",
                     b"starting to insert: 8 >>>>>> \n.\n.......DatabaseManage::insert false!\n")

    def test_connection_lost_in_the_middle_of_a_batch(self):
        # The row at index 3 makes the server end the session's backend.
        self.refused("CREATE FUNCTION fault() RETURNS trigger AS $$ BEGIN "
                     "IF NEW.pid = ' adjust:103' THEN PERFORM pg_terminate_backend(pg_backend_pid()); END IF; "
                     "RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER fault BEFORE INSERT ON dbu.ntpadjusts "
                     "FOR EACH ROW EXECUTE FUNCTION fault()",
                     b"starting to insert: 8 >>>>>> \n.\n..DatabaseManage::insert has problem: "
                     b"time=7 Dec 09:49:19 , pid= adjust:103\n")

    def test_server_restarted_in_the_middle_of_a_batch(self):
        n = 30000
        self.box.write_raw(raw_lines(n))
        result = {}
        t = threading.Thread(target=lambda: result.update(r=self.insert()))
        t.start()
        # Sequence values are seen by others before the commit: the batch is under way.
        deadline = time.monotonic() + 60
        while int(server.psql("SELECT last_value FROM dbu.ntpadjusts_seq", self.db)) < 200:
            self.assertLess(time.monotonic(), deadline, "the batch never started")
            time.sleep(0.02)
        server.restart("immediate")
        t.join()
        r = result["r"]
        self.assertEqual(r.returncode, 1, r.stdout[-300:])
        self.assertIn(b"DatabaseManage::insert has problem: ", r.stdout)
        self.assert_next_run_inserts_everything_once(n)

    def test_a_value_the_server_cannot_store_is_set_aside(self):
        # A NUL byte in a line: libpq would cut the value short at it.
        nul = b" 7 Dec\x00 09:49:19 ntpdate[105]: adjust time server 192.0.2.10 offset 0.5 sec\n"
        self.box.write_raw(raw_lines(2) + nul)
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"DatabaseManage::insert set aside: time=7 Dec\\x00 09:49:19 , pid= adjust:105 in ", r.stdout)
        self.assertEqual([row[5] for row in server.rows(self.db)], [" adjust:100", " adjust:101"])
        with open(os.path.join(self.box.state, "dead-letters"), "rb") as f:
            self.assertIn(b"ORA-29275", f.read())
        # sitedb refuses a database that would refuse such bytes.
        server.psql("CREATE DATABASE utf8site ENCODING 'UTF8' TEMPLATE template0")
        admin = "postgresql://postgres@/utf8site?host=%s&port=%d" % (server.dir, server.port)
        r = subprocess.run([program("sitedb"), "init", admin], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (1, b"sitedb: database utf8site has encoding UTF8, which refuses "
                                                       b"some bytes of the nodes' lines; create it with: createdb -E "
                                                       b"SQL_ASCII -T template0 utf8site\n"))

    def test_password_from_a_password_file(self):
        # A node role whose password is not the built-in one, as the DBA makes it.
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (self.db, server.dir, server.port)
        subprocess.run([program("sitedb"), "init", "--user", "node7", "--password", "S3cret", admin], check=True,
                       stdout=subprocess.DEVNULL)
        uri = self.uri.replace("127.0.0.1", "node7@127.0.0.1")
        self.box.write_raw(raw_lines(2))
        r = self.insert(uri)
        self.assertTrue(r.stdout.startswith(b"DatabaseManage::insertLine init: ORA-01017: "), r.stdout)
        passfile = self.box.path("pgpass")
        with open(passfile, "w") as f:
            f.write("*:*:*:node7:S3cret\n")
        os.chmod(passfile, 0o600)
        r = self.box.adjtimelog("database", "-s", uri, env={"PGPASSFILE": passfile})
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(len(server.rows(self.db)), 2)

    def test_client_library_on_the_server(self):
        exe = os.path.join(BUILD_DIR, "oci", "dmoci_unit_tests")
        r = subprocess.run([exe, "--gtest_filter=StandIn.Postgres*", "--gtest_brief=1"],
                           env=dict(os.environ, QM4107_PG_URI=self.uri), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        self.assertIn(b"[  PASSED  ] 1 test.", r.stdout)
        self.assertNotIn(b"SKIPPED", r.stdout)

    def test_a_lost_commit_answer_stores_nothing_twice(self):
        self.box.write_raw(raw_lines(3))
        r = self.box.adjtimelog("database", "-s", self.uri, env={"DMOCI_FAULT_LOSE_COMMIT_ANSWER": "1"})
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertEqual(len(server.rows(self.db)), 3, "committed, but the node did not hear it")
        self.assertEqual(self.box.backlog(), raw_lines(3))
        self.box.write_raw(raw_lines(2, first=200))
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b" is in the site database already\n", r.stdout)
        self.assertEqual(sorted(row[5] for row in server.rows(self.db)),
                         sorted(" adjust:%d" % n for n in (100, 101, 102, 200, 201)), "each line once")
        self.assertEqual(self.box.backlog(), b"")
        self.assertEqual(server.psql("SELECT count(*) FROM dbu.ntpdeliveries", self.db), "2\n")

    def test_no_node_chooses_an_id_and_taken_ids_are_passed_over(self):
        node = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", self.uri.replace("127.0.0.1", "dbu:tolvem@127.0.0.1")]
        r = subprocess.run(node + ["-c", "INSERT INTO dbu.ntpadjusts (ntpid, node) VALUES (1, 'evil')"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertIn(b"permission denied", r.stderr)
        # A writer of the DBA's own took the ids the sequence hands out next.
        server.psql("INSERT INTO dbu.ntpadjusts (ntpid, node) SELECT n, 'dba' FROM generate_series(1, 5) n", self.db)
        self.box.write_raw(raw_lines(3))
        r = self.insert()
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual([row[0] for row in server.rows(self.db) if row[1] == "node01"], ["6", "7", "8"])
        self.assertFalse(os.path.exists(os.path.join(self.box.state, "dead-letters")))

    def test_sitedb_init_upgrades_a_database_of_the_original_schema(self):
        server.psql("CREATE DATABASE oldsite")
        server.psql("CREATE SCHEMA dbu; CREATE SEQUENCE dbu.ntpadjusts_seq; "
                    "CREATE TABLE dbu.ntpadjusts (ntpid bigint PRIMARY KEY, node text, time text, serverip text, "
                    "\"offset\" text, pid text, runtime bigint); "
                    "GRANT USAGE ON SCHEMA dbu TO dbu; GRANT SELECT, INSERT ON dbu.ntpadjusts TO dbu; "
                    "GRANT USAGE, SELECT ON SEQUENCE dbu.ntpadjusts_seq TO dbu", "oldsite")
        uri = self.uri.replace(self.db, "oldsite")
        self.box.write_raw(raw_lines(2))
        r = self.insert(uri)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b"DBU.NTPDELIVERIES does not exist", r.stderr, "at least once, and said")
        admin = "postgresql://postgres@/oldsite?host=%s&port=%d" % (server.dir, server.port)
        schema = ("SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes WHERE schemaname = 'dbu'; "
                  "SELECT column_default FROM information_schema.columns WHERE table_name = 'ntpadjusts' "
                  "AND column_name = 'ntpid'")
        for _ in range(2):
            r = subprocess.run([program("sitedb"), "init", admin], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual(server.psql(schema, "oldsite"),
                             "ntpadjusts_node_runtime,ntpadjusts_pkey,ntpadjusts_runtime,ntpdeliveries_pk,"
                             "ntpdeliveries_runtime\nnextval('dbu.ntpadjusts_seq'::regclass)\n")
            self.assertEqual(len(server.rows("oldsite")), 2, "every row kept")
        self.box.write_raw(raw_lines(1, first=300))
        r = self.insert(uri)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(server.psql("SELECT count(*) FROM dbu.ntpdeliveries", "oldsite"), "1\n")

    def test_per_node_roles_store_and_read_only_their_own_rows(self):
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (self.db, server.dir, server.port)
        for args in (["--per-node-roles"], ["--user", "node01", "--password", "P1"],
                     ["--user", "node02", "--password", "P2"]):
            subprocess.run([program("sitedb"), "init"] + args + [admin], check=True, stdout=subprocess.DEVNULL)
        uri = lambda role, pw: self.uri.replace("127.0.0.1", "%s:%s@127.0.0.1" % (role, pw))
        self.box.write_raw(raw_lines(2))
        r = self.insert(uri("node01", "P1"))
        self.assertEqual(r.returncode, 0, r.stdout)
        # node02's role used on node01: refused, and the lines wait.
        self.box.write_raw(raw_lines(1, first=300))
        r = self.insert(uri("node02", "P2"))
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertEqual(self.box.backlog(), raw_lines(1, first=300))
        self.assertEqual(len(server.rows(self.db)), 2)
        self.assertFalse(os.path.exists(os.path.join(self.box.state, "dead-letters")))
        seen = subprocess.run(["psql", "-X", "-A", "-t", "-d", uri("node02", "P2"), "-c",
                               "SELECT count(*) FROM dbu.ntpadjusts"], stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(seen, b"0\n", "another node's rows are not node02's to read")
        r = self.insert(uri("node01", "P1"))
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(len(server.rows(self.db)), 3)

    def test_prune_on_the_server(self):
        server.psql("INSERT INTO dbu.ntpadjusts (node, runtime) SELECT 'n', extract(epoch FROM now())::bigint "
                    "- 200 * 86400 - n FROM generate_series(1, 12000) n; "
                    "INSERT INTO dbu.ntpadjusts (node, runtime) VALUES ('n', extract(epoch FROM now())::bigint); "
                    "INSERT INTO dbu.ntpdeliveries VALUES ('old', 'n', 1)", self.db)
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (self.db, server.dir, server.port)
        r = subprocess.run([program("sitedb"), "prune", "--older-than", "90d", admin], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"12000 rows and 1 delivery records from before "), r.stdout)
        self.assertEqual(server.psql("SELECT count(*) FROM dbu.ntpadjusts", self.db), "1\n")

    def test_sitedb_init_is_idempotent_and_path_explains_a_uri(self):
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (self.db, server.dir, server.port)
        r = subprocess.run([program("sitedb"), "init", admin], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        r = subprocess.run([program("sitedb"), "path", self.uri], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"names a PostgreSQL database", r.stderr)


if __name__ == "__main__":
    unittest.main()
