"""Many nodes, one site database: N nodes (each its own host name, private
/tmp and writer) upload to one PostgreSQL server every few hundred ms,
while the server is restarted, backends are terminated, rows and commits
are refused and runs are SIGKILLed. At the end every line written must be
in the database exactly once, still pending on its node or set aside as a
dead letter there; a line may be duplicated only by a run killed between
its commit and the record that its batch was delivered, and such kills are
counted.

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
    runs = kills = after_commit = 0
    statuses = collections.Counter()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        proc = subprocess.Popen([os.path.join(bindir, "adjtimelog"), "database", "-s", uri],
                                stdout=subprocess.DEVNULL)
        if rng.random() < 0.15:
            time.sleep(rng.uniform(0, 0.2))
            proc.kill()
        proc.wait()
        runs += 1
        statuses[proc.returncode] += 1
        if proc.returncode == -signal.SIGKILL:
            kills += 1
            waiting = pending.backlog(os.environ["STATE_DIRECTORY"])
            if waiting:
                first = ids(waiting[:4096])[:1]
                env = dict(os.environ, PGPASSWORD="tolvem", PGCONNECT_TIMEOUT="5")
                q = subprocess.run(["psql", "-X", "-A", "-t", "-d", uri, "-U", "dbu", "-c",
                                    "SELECT count(*) FROM dbu.ntpadjusts WHERE node = '%s' AND pid = ' adjust:%d'"
                                    % (os.uname().nodename, first[0] if first else -1)],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
                after_commit += q.stdout.strip() not in (b"", b"0")
        time.sleep(rng.uniform(0.1, 0.4))
    stop.set()
    t.join()
    with open(out, "w") as f:
        json.dump({"written": written[0], "runs": runs, "kills": kills, "after_commit": after_commit,
                   "statuses": {str(k): v for k, v in statuses.items()}}, f)


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
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.5, 1.5))
            fault = rng.choice(["none", "restart", "terminate", "row", "commit"])
            faults[fault] += 1
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
        for k in range(nodes):
            d = os.path.join(work, "node%02d" % k)
            with open(os.path.join(d, "result.json")) as f:
                res = json.load(f)
            for key in ("written", "runs", "kills", "after_commit"):
                totals[key] += res[key]
            seen = collections.Counter(int(p.split(":")[1]) for p in psql(
                pg_dir, port, "SELECT pid FROM dbu.ntpadjusts WHERE node = 'node%02d'" % k).split())
            if os.path.exists(os.path.join(d, "tmp/update_time.log")):
                seen.update(ids(open(os.path.join(d, "tmp/update_time.log"), "rb").read()))
            seen.update(ids(pending.backlog(os.path.join(d, "state"))))
            letters = ids(b"\n".join(pending.dead_letters(os.path.join(d, "state"))))
            seen.update(letters)
            aside += len(letters)
            lost += sum(1 for i in range(res["written"]) if seen[i] == 0)
            dup += sum(1 for i in range(res["written"]) if seen[i] > 1)
        print("pg soak: %d nodes, seed %d, %.0f s: %d lines written, %d runs, %d killed; server faults: %s"
              % (nodes, seed, seconds, totals["written"], totals["runs"], totals["kills"],
                 ", ".join("%s %d" % kv for kv in sorted(faults.items()))))
        print("pg soak: lost %d, duplicated %d, set aside %d; kills between a commit and the record of it: %d"
              % (lost, dup, aside, totals["after_commit"]))
        return 1 if lost or (dup and not totals["after_commit"]) else 0
    finally:
        subprocess.run([script, "stop", pg_dir])


if __name__ == "__main__":
    if sys.argv[1] == "node":
        node(sys.argv[2], sys.argv[3], float(sys.argv[4]), int(sys.argv[5]), sys.argv[6])
    else:
        sys.exit(main())
