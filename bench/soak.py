"""A fault soak: one writer appends ntpdate lines to the raw log at a high
rate (now and then a line in two writes, with a pause between) while
adjtimelog runs again and again, each run with a fault drawn at random,
and busy processes compete for the CPU. At the end every line written must
be in the report or the database exactly once, or still pending (the raw
log, the backlog) or set aside as a dead letter (rows refused run after
run), whenever a run was killed. Runs inside a private
/tmp, with the state directory of $STATE_DIRECTORY.

When a line is lost or duplicated the evidence is kept in
/var/tmp/qm4107-soak-evidence.*: the ids, the bytes where each should
stand in every file, and every run's action, fault, exit status and output.

usage: soak.py BINDIR WORKDIR SECONDS [MAX_RUNS [SEED [BUSY]]]
"""
import collections
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import pending

RAW = "/tmp/update_time.log"
STATE = os.environ["STATE_DIRECTORY"]
FAULTS = ["none", "report-unwritable", "database-absent", "row-refused", "commit-refused", "killed"]


def writer(stop, counter):
    i = 0
    block = 0
    while not stop.is_set():
        lines = b"".join(b" 7 Dec 09:49:19 ntpdate[%d]: step time server 192.0.2.1 offset 0.1 sec\n" % n
                         for n in range(i, i + 20))
        fd = os.open(RAW, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        if block % 10 == 0:
            cut = len(lines) - 37  # inside the last line
            os.write(fd, lines[:cut])
            time.sleep(0.002)
            os.write(fd, lines[cut:])
        else:
            os.write(fd, lines)
        os.close(fd)
        i += 20
        block += 1
        counter[0] = i
        time.sleep(0.001)


def ids(data, marker, garbage=None):
    """The ids of the lines that carry marker; a line that holds one but is
    not whole (cut, or two glued together) goes to garbage."""
    out = []
    for line in data.splitlines():
        if marker in line:
            try:
                out.append(int(line.split(marker)[1].split(b"]")[0]))
            except ValueError:
                if garbage is not None:
                    garbage.append(line)
    return out


def delivered_already(con, report):
    """After a kill: were the lines still waiting already delivered? Then the
    kill fell between the delivery and the record of it."""
    first = ids(pending.backlog(STATE)[:4096], b"ntpdate[")[:1]
    if not first:
        return 0
    if con.execute("SELECT 1 FROM NTPADJUSTS WHERE PID = ?", (" step:%d" % first[0],)).fetchone():
        return 1
    if os.path.exists(report) and (b"step:%d]" % first[0]) in open(report, "rb").read():
        return 1
    return 0


def keep_evidence(problems, runs_log, files, con):
    out = tempfile.mkdtemp(prefix="qm4107-soak-evidence.", dir="/var/tmp")
    with open(os.path.join(out, "ids.txt"), "w") as f:
        for kind, ids_ in problems.items():
            f.write("%s: %s\n" % (kind, " ".join(map(str, ids_))))
    with open(os.path.join(out, "bytes.txt"), "wb") as f:
        for kind, ids_ in problems.items():
            for i in ids_[:50]:
                f.write(b"== %s %d\n" % (kind.encode(), i))
                for name, data in files.items():
                    for marker in (b"ntpdate[%d]" % i, b"step:%d]" % i):
                        at = data.find(marker)
                        while at >= 0:
                            f.write(b"%s @%d: %r\n" % (name.encode(), at, data[max(0, at - 90):at + 90]))
                            at = data.find(marker, at + 1)
                rows = con.execute("SELECT NTPID, PID FROM NTPADJUSTS WHERE PID = ?", (" step:%d" % i,)).fetchall()
                f.write(b"database rows: %r\n" % (rows,))
    with open(os.path.join(out, "runs.tsv"), "w") as f:
        f.write("run\taction\tfault\tstatus\toutput\n")
        for r in runs_log:
            f.write("%d\t%s\t%s\t%s\t%r\n" % r)
    for name, data in files.items():
        with open(os.path.join(out, os.path.basename(name) + ".bytes"), "wb") as f:
            f.write(data)
    return out


def main():
    bindir, work, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    max_runs = int(sys.argv[4]) if len(sys.argv) > 4 else 10 ** 9
    seed = int(sys.argv[5]) if len(sys.argv) > 5 else 4107
    busy = int(sys.argv[6]) if len(sys.argv) > 6 else 2
    rng = random.Random(seed)
    env = dict(os.environ, SITEDB_DIR=os.path.join(work, "db"))
    subprocess.run([os.path.join(bindir, "sitedb"), "init"], env=env, check=True, stdout=subprocess.DEVNULL)
    db = os.path.join(work, "db", "orcl.db")
    con = sqlite3.connect(db, timeout=60)
    con.executescript("""
        CREATE TABLE FAULTS (NAME TEXT PRIMARY KEY, ON_ INTEGER);
        INSERT INTO FAULTS VALUES ('row', 0), ('commit', 0);
        CREATE TABLE PARENT (ID INTEGER PRIMARY KEY);
        CREATE TABLE CHILD (ID INTEGER REFERENCES PARENT(ID) DEFERRABLE INITIALLY DEFERRED);
        CREATE TRIGGER FAULT_ROW BEFORE INSERT ON NTPADJUSTS
          WHEN (SELECT ON_ FROM FAULTS WHERE NAME = 'row') = 1
          BEGIN SELECT RAISE(ABORT, 'row refused by the soak'); END;
        CREATE TRIGGER FAULT_COMMIT AFTER INSERT ON NTPADJUSTS
          WHEN (SELECT ON_ FROM FAULTS WHERE NAME = 'commit') = 1
          BEGIN INSERT INTO CHILD VALUES (-1); END;
    """)
    report = os.path.join(work, "report.log")
    exe = os.path.join(bindir, "adjtimelog")

    # Competitors for the CPU, so that runs and the writer are preempted
    # at any point; they end with the soak.
    competitors = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
    stop = threading.Event()
    counter = [0]
    t = threading.Thread(target=writer, args=(stop, counter))
    t.start()
    faults = collections.Counter()
    kills = collections.Counter()
    killed_after_commit = 0
    runs = 0
    runs_log = []
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline and runs < max_runs:
            fault = rng.choice(FAULTS)
            action = rng.choice(["log", "database"])
            if fault == "report-unwritable":
                action = "log"
            if fault in ("database-absent", "row-refused", "commit-refused"):
                action = "database"
            con.execute("UPDATE FAULTS SET ON_ = ? WHERE NAME = 'row'", (fault == "row-refused",))
            con.execute("UPDATE FAULTS SET ON_ = ? WHERE NAME = 'commit'", (fault == "commit-refused",))
            con.commit()
            argv = [exe, action]
            if action == "log":
                argv += ["-p", "/proc/report.log" if fault == "report-unwritable" else report]
            elif fault == "database-absent":
                argv += ["-s", "localhost:1521/absent"]
            started = time.monotonic()
            proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE)
            if fault == "killed":
                time.sleep(rng.uniform(0, 0.03))
                proc.send_signal(signal.SIGKILL)
            out = proc.communicate()[0]
            if fault == "killed" and proc.returncode == -signal.SIGKILL:
                kills[action] += 1
                if action == "database":
                    killed_after_commit += delivered_already(con, report)
            faults[fault] += 1
            runs += 1
            runs_log.append((runs, action, fault, "%d in %.3f s" % (proc.returncode, time.monotonic() - started),
                             out[-400:]))
    finally:
        stop.set()
        t.join()
        for c in competitors:
            c.kill()
            c.wait()
    written = counter[0]
    con.execute("UPDATE FAULTS SET ON_ = 0")
    con.commit()

    files = {}
    garbage = []
    in_report = collections.Counter()
    if os.path.exists(report):
        files[report] = open(report, "rb").read()
        in_report.update(ids(files[report], b"step:", garbage))
    in_db = collections.Counter(int(row[0].split(":")[1]) for row in con.execute("SELECT PID FROM NTPADJUSTS"))
    waiting = collections.Counter()
    if os.path.exists(RAW):
        files[RAW] = open(RAW, "rb").read()
        waiting.update(ids(files[RAW], b"ntpdate["))
    files["backlog"] = pending.backlog(STATE)
    waiting.update(ids(files["backlog"], b"ntpdate["))
    aside = collections.Counter(ids(b"\n".join(pending.dead_letters(STATE)), b"ntpdate["))
    lost, db_dup, log_dup = [], [], []
    for i in range(written):
        total = in_report[i] + in_db[i] + waiting[i] + aside[i]
        if total == 0:
            lost.append(i)
        elif total > 1:
            (db_dup if in_db[i] else log_dup).append(i)
    print("soak: seed %d, %d busy competitors: %d lines written, %d runs, faults: %s" % (
        seed, busy, written, runs, ", ".join("%s %d" % (f, faults[f]) for f in FAULTS)))
    print("soak: lost %d; duplicated by the log action %d (kills %d); duplicated by the database action %d "
          "(kills %d, of them between the commit and the record of it %d); set aside %d" % (
              len(lost), len(log_dup), kills["log"], len(db_dup), kills["database"], killed_after_commit,
              sum(aside.values())))
    problems = {}
    if garbage:
        print("soak: %d report lines not whole, e.g. %r" % (len(garbage), garbage[0][:120]))
        problems["report-lines-not-whole"] = list(range(len(garbage)))
    if lost:
        problems["lost"] = lost
    if log_dup:
        problems["duplicated-by-log"] = log_dup
    if db_dup:
        problems["duplicated-by-database"] = db_dup
    if problems or os.environ.get("SOAK_KEEP"):
        print("soak: evidence kept in %s" % keep_evidence(problems, runs_log, files, con))
    con.close()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
