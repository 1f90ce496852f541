"""Many nodes, one site database: N nodes (each its own host name, private
/tmp and writer) upload to one PostgreSQL server every few hundred ms,
while the server is restarted, backends are terminated, rows and commits
are refused and runs are SIGKILLed. At the end every line written must be
in the database exactly once, still pending on its node or set aside as a
dead letter there, whenever a run was killed (a batch's delivery is
recorded with its rows, and a run that did not hear the outcome asks
first). When a line is lost or duplicated, the evidence is kept in /var/tmp/qm4107-pgsoak-evidence.* (also with
PG_SOAK_EVIDENCE=1): the faults, the runs of each node with what they
printed, and where each such line was seen.

usage: pg_soak.py BINDIR WORKDIR SECONDS [NODES [SEED]]   (as root)
       pg_soak.py node BINDIR URI SECONDS SEED OUT        (inside a node's sandbox)
"""
import collections
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pending

HERE = os.path.dirname(os.path.abspath(__file__))
RAW = "/tmp/update_time.log"


def ids(data):
    return [int(l.split(b"ntpdate[")[1].split(b"]")[0]) for l in data.splitlines() if b"ntpdate[" in l]


def psql(pg_dir, port, sql, db="site"):
    return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-h", pg_dir, "-p", str(port), "-U", "postgres",
                           "-d", db, "-c", sql], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60).stdout.decode()


def node(bindir, uri, seconds, seed, out):
    rng = random.Random(seed)
    stop = threading.Event()
    written = [0]

    def writer():
        i = 0
        while not stop.is_set():
            with open(RAW, "ab") as f:
                f.write(b"".join(b" 7 Dec 09:49:19 ntpdate[%d]: adjust time server 192.0.2.1 offset 0.1 sec\n"
                                 % n for n in range(i, i + 10)))
            i += 10
            written[0] = i
            time.sleep(0.02)

    t = threading.Thread(target=writer)
    t.start()
    runs = kills = 0
    killed = []  # the ids waiting after each kill, first and last
    statuses = collections.Counter()
    log = []  # each run: start, end, status and what it printed, for the evidence
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = time.time()
        proc = subprocess.Popen([os.path.join(bindir, "adjtimelog"), "database", "-s", uri],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        said = []
        reader = threading.Thread(target=lambda: said.append(proc.stdout.read()))
        reader.start()
        if rng.random() < 0.15:
            time.sleep(rng.uniform(0, 0.2))
            proc.kill()
        proc.wait()
        reader.join()
        runs += 1
        statuses[proc.returncode] += 1
        log.append({"start": started, "end": time.time(), "status": proc.returncode,
                    "said": b"".join(said).replace(b".", b"").decode("utf-8", "replace")[-2000:]})
        if proc.returncode == -signal.SIGKILL:
            kills += 1
            # What the killed run may have committed without recording it:
            # the front of the backlog. Whether it did is asked at the end,
            # when no transaction is in flight (asked now, a commit the
            # server has not finished would not show yet).
            waiting = ids(pending.backlog(os.environ["STATE_DIRECTORY"]))
            if waiting:
                killed.append((waiting[0], waiting[-1]))
        time.sleep(rng.uniform(0.1, 0.4))
    stop.set()
    t.join()
    with open(out, "w") as f:
        json.dump({"written": written[0], "runs": runs, "kills": kills, "killed": killed,
                   "statuses": {str(k): v for k, v in statuses.items()}, "log": log}, f)


def main():
    bindir, work, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    nodes = int(sys.argv[4]) if len(sys.argv) > 4 else 8
    seed = int(sys.argv[5]) if len(sys.argv) > 5 else 4107
    rng = random.Random(seed)
    script = os.path.join(HERE, "..", "scripts", "pg-test-server")
    pg_dir = os.path.join(work, "pg")
    port = int(subprocess.run([script, "start", pg_dir], check=True, stdout=subprocess.PIPE).stdout.split()[-1])
    try:
        psql(pg_dir, port, "CREATE DATABASE site", "postgres")
        subprocess.run([os.path.join(bindir, "sitedb"), "init",
                        "postgresql://postgres@/site?host=%s&port=%d" % (pg_dir, port)],
                       check=True, stdout=subprocess.DEVNULL)
        psql(pg_dir, port, """
            CREATE TABLE faults (name text PRIMARY KEY, on_ boolean);
            INSERT INTO faults VALUES ('row', false), ('commit', false);
            GRANT SELECT ON faults TO dbu;
            CREATE FUNCTION fault_row() RETURNS trigger AS $$ BEGIN
              IF (SELECT on_ FROM public.faults WHERE name = 'row') THEN RAISE EXCEPTION 'row refused'; END IF;
              RETURN NEW; END $$ LANGUAGE plpgsql;
            CREATE TRIGGER fault_row BEFORE INSERT ON dbu.ntpadjusts FOR EACH ROW EXECUTE FUNCTION fault_row();
            CREATE FUNCTION fault_commit() RETURNS trigger AS $$ BEGIN
              IF (SELECT on_ FROM public.faults WHERE name = 'commit') THEN RAISE EXCEPTION 'commit refused'; END IF;
              RETURN NULL; END $$ LANGUAGE plpgsql;
            CREATE CONSTRAINT TRIGGER fault_commit AFTER INSERT ON dbu.ntpadjusts DEFERRABLE INITIALLY DEFERRED
              FOR EACH ROW EXECUTE FUNCTION fault_commit();""")
        uri = "postgresql://127.0.0.1:%d/site?connect_timeout=5" % port
        procs = []
        for k in range(nodes):
            d = os.path.join(work, "node%02d" % k)
            os.makedirs(os.path.join(d, "tmp"))
            os.chmod(os.path.join(d, "tmp"), 0o1777)
            procs.append(subprocess.Popen(
                [os.path.join(work, "scripts", "sandbox"), "--tmp", os.path.join(d, "tmp"),
                 "--state", os.path.join(d, "state"), "--host", "node%02d" % k, "--", sys.executable, os.path.abspath(__file__), "node", bindir, uri, str(seconds),
                 str(seed * 100 + k), os.path.join(d, "result.json")], cwd=work))
        faults = collections.Counter()
        fault_log = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.5, 1.5))
            fault = rng.choice(["none", "restart", "terminate", "row", "commit"])
            faults[fault] += 1
            fault_log.append((time.time(), fault))
            if fault == "restart":
                subprocess.run([script, "restart", pg_dir, "immediate"], check=True)
            elif fault == "terminate":
                psql(pg_dir, port, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                   "WHERE usename = 'dbu'")
            elif fault in ("row", "commit"):
                psql(pg_dir, port, "UPDATE faults SET on_ = true WHERE name = '%s'" % fault)
                time.sleep(0.5)
                psql(pg_dir, port, "UPDATE faults SET on_ = false")
        for p in procs:
            p.wait()
        psql(pg_dir, port, "UPDATE faults SET on_ = false")

        totals = collections.Counter()
        lost = dup = aside = 0
        where = {}  # node: {id: [in the database, pending, set aside]} of the lost and duplicated
        for k in range(nodes):
            d = os.path.join(work, "node%02d" % k)
            with open(os.path.join(d, "result.json")) as f:
                res = json.load(f)
            for key in ("written", "runs", "kills"):
                totals[key] += res[key]
            rows = psql(pg_dir, port, "SELECT pid, runtime, ntpid FROM dbu.ntpadjusts WHERE node = 'node%02d'" % k)
            in_db = collections.Counter(int(r.split("|")[0].split(":")[1]) for r in rows.split())
            waiting = collections.Counter(ids(pending.backlog(os.path.join(d, "state"))))
            if os.path.exists(os.path.join(d, "tmp/update_time.log")):
                waiting.update(ids(open(os.path.join(d, "tmp/update_time.log"), "rb").read()))
            letters = ids(b"\n".join(pending.dead_letters(os.path.join(d, "state"))))
            seen = in_db + waiting + collections.Counter(letters)
            aside += len(letters)
            for first, last in res["killed"]:
                if any(seen[i] > 1 for i in range(first, last + 1)):
                    totals["killed_dup"] += 1
            bad = [i for i in range(res["written"]) if seen[i] != 1]
            lost += sum(1 for i in bad if seen[i] == 0)
            dup += sum(1 for i in range(res["written"]) if seen[i] > 1)
            if bad:
                where["node%02d" % k] = {
                    "ids": {i: [in_db[i], waiting[i], letters.count(i)] for i in bad},
                    "rows": [r for r in rows.split() if int(r.split("|")[0].split(":")[1]) in set(bad)],
                    "runs": res["log"]}
        print("pg soak: %d nodes, seed %d, %.0f s: %d lines written, %d runs, %d killed; server faults: %s"
              % (nodes, seed, seconds, totals["written"], totals["runs"], totals["kills"],
                 ", ".join("%s %d" % kv for kv in sorted(faults.items()))))
        print("pg soak: lost %d, duplicated %d (of the killed runs' lines: %d runs), set aside %d"
              % (lost, dup, totals["killed_dup"], aside))
        failed = lost or dup
        if failed or os.environ.get("PG_SOAK_EVIDENCE"):
            out = tempfile.mkdtemp(prefix="qm4107-pgsoak-evidence.", dir="/var/tmp")
            with open(os.path.join(out, "evidence.json"), "w") as f:
                json.dump({"faults": fault_log, "nodes": where}, f, indent=1)
            print("pg soak: evidence kept in %s" % out)
        return 1 if failed else 0
    finally:
        subprocess.run([script, "stop", pg_dir])


if __name__ == "__main__":
    if sys.argv[1] == "node":
        node(sys.argv[2], sys.argv[3], float(sys.argv[4]), int(sys.argv[5]), sys.argv[6])
    else:
        sys.exit(main())
