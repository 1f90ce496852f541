"""A fault soak: one writer appends ntpdate lines to the raw log at a high
rate while adjtimelog runs again and again, each run with a fault drawn at
random. At the end every line written must be in the report or the
database exactly once, or still pending. Runs inside a private /tmp.

usage: soak.py BINDIR WORKDIR SECONDS [MAX_RUNS]
"""
import collections
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

RAW = "/tmp/update_time.log"
FAULTS = ["none", "report-unwritable", "database-absent", "row-refused", "commit-refused", "killed"]


def writer(stop, counter):
    i = 0
    while not stop.is_set():
        with open(RAW, "ab") as f:
            for _ in range(20):
                f.write(b" 7 Dec 09:49:19 ntpdate[%d]: step time server 192.0.2.1 offset 0.1 sec\n" % i)
                i += 1
        counter[0] = i
        time.sleep(0.001)


def ids(data, marker):
    out = []
    for line in data.splitlines():
        if marker in line:
            out.append(int(line.split(marker)[1].split(b"]")[0]))
    return out


def delivered_already(con, report):
    """After a kill: were the lines still claimed already delivered? Then the
    kill fell between the delivery and the removal of the claimed copy."""
    claimed = RAW + ".claimed"
    if not os.path.exists(claimed):
        return 0
    first = ids(open(claimed, "rb").read(4096), b"ntpdate[")[:1]
    if not first:
        return 0
    if con.execute("SELECT 1 FROM NTPADJUSTS WHERE PID = ?", (" step:%d" % first[0],)).fetchone():
        return 1
    if os.path.exists(report) and (b"step:%d]" % first[0]) in open(report, "rb").read():
        return 1
    return 0


def main():
    bindir, work, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    max_runs = int(sys.argv[4]) if len(sys.argv) > 4 else 10 ** 9
    rng = random.Random(4107)
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

    stop = threading.Event()
    counter = [0]
    t = threading.Thread(target=writer, args=(stop, counter))
    t.start()
    faults = collections.Counter()
    killed_after_delivery = 0
    runs = 0
    deadline = time.monotonic() + seconds
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
            argv += ["-p", "/nonexistent/report.log" if fault == "report-unwritable" else report]
        elif fault == "database-absent":
            argv += ["-s", "localhost:1521/absent"]
        proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL)
        if fault == "killed":
            time.sleep(rng.uniform(0, 0.02))
            proc.send_signal(signal.SIGKILL)
        proc.wait()
        if fault == "killed" and proc.returncode == -signal.SIGKILL:
            killed_after_delivery += delivered_already(con, report)
        faults[fault] += 1
        runs += 1
    stop.set()
    t.join()
    written = counter[0]
    con.execute("UPDATE FAULTS SET ON_ = 0")
    con.commit()

    seen = collections.Counter()
    if os.path.exists(report):
        seen.update(ids(open(report, "rb").read(), b"step:"))
    stored = [row[0] for row in con.execute("SELECT PID FROM NTPADJUSTS")]
    seen.update(int(p.split(":")[1]) for p in stored)
    con.close()
    for pending in (RAW, RAW + ".claimed", RAW + ".merging"):
        if os.path.exists(pending):
            seen.update(ids(open(pending, "rb").read(), b"ntpdate["))
    lost = sum(1 for i in range(written) if seen[i] == 0)
    duplicated = sum(1 for i in range(written) if seen[i] > 1)
    print("soak: %d lines written, %d runs, faults: %s" % (written, runs,
          ", ".join("%s %d" % (f, faults[f]) for f in FAULTS)))
    print("soak: lost %d, duplicated %d; kills between a delivery and the removal of the claimed copy: "
          "%d of %d kills" % (lost, duplicated, killed_after_delivery, faults["killed"]))
    if lost or (duplicated and not killed_after_delivery):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
