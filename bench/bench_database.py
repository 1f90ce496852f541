"""The database action into the SQLite stand-in, side by side with the
sqlite3 command-line tool loading the same rows into the same table by hand
(.import into a temporary table, then one INSERT ... SELECT, in one
transaction), at several sizes of a realistic raw log. The rows of both
must be identical. Runs inside a private /tmp (tmpfs).

usage: bench_database.py BINDIR MAKE_RAWLOG WORKDIR SIZE...
"""
import os
import shutil
import sqlite3
import subprocess
import sys

from measure import best_of

RAW = "/tmp/update_time.log"
COLUMNS = "NODE, TIME, SERVERIP, OFFSET, PID"


def rows_of(db):
    con = sqlite3.connect(db)
    rows = con.execute("SELECT NTPID, %s, RUNTIME FROM NTPADJUSTS ORDER BY NTPID" % COLUMNS).fetchall()
    con.close()
    return rows


def one_size(bindir, make_rawlog, work, lines):
    rawlog = os.path.join(work, "raw-%d.log" % lines)
    subprocess.run([sys.executable, make_rawlog, str(lines), rawlog], check=True)
    dbdir = os.path.join(work, "db")
    env = dict(os.environ, SITEDB_DIR=dbdir)
    ours = os.path.join(dbdir, "orcl.db")
    byhand = os.path.join(dbdir, "byhand.db")
    sitedb = os.path.join(bindir, "sitedb")

    def fresh_db(target, path):
        def prepare():
            for suffix in ("", "-journal", "-wal", "-shm"):
                if os.path.exists(path + suffix):
                    os.unlink(path + suffix)
            subprocess.run([sitedb, "init", target], env=env, check=True, stdout=subprocess.DEVNULL)
            if target != path:
                shutil.copyfile(rawlog, RAW)
        return prepare

    n = 5 if lines <= 100000 else 3
    t_ours = best_of(n, fresh_db("localhost:1521/orcl", ours), [os.path.join(bindir, "adjtimelog"), "database"],
                     env=env)
    loaded = rows_of(ours)

    # The same rows, cut already, as a file the by-hand load imports.
    tsv = os.path.join(work, "rows.tsv")
    with open(tsv, "w") as f:
        for row in loaded:
            f.write("\t".join("" if v is None else str(v) for v in row[1:]) + "\n")
    script = os.path.join(work, "load.sql")
    with open(script, "w") as f:
        f.write(".mode tabs\n"
                "BEGIN;\n"
                "CREATE TEMP TABLE RAW (%s, RUNTIME);\n"
                ".import %s RAW\n"
                "INSERT INTO NTPADJUSTS (NTPID, %s, RUNTIME)\n"
                "  SELECT rowid, NODE, TIME, NULLIF(SERVERIP, ''), NULLIF(OFFSET, ''), PID, RUNTIME FROM RAW;\n"
                "UPDATE DMOCI_SEQUENCES SET LAST_VALUE = (SELECT MAX(NTPID) FROM NTPADJUSTS)"
                " WHERE NAME = 'NTPADJUSTS_SEQ';\n"
                "COMMIT;\n" % (COLUMNS, tsv, COLUMNS))
    prep = fresh_db(byhand, byhand)

    t_hand = best_of(n, prep, ["sqlite3", byhand], stdin=lambda: open(script))
    same = rows_of(byhand) == loaded

    print("database action, %d lines: %d rows, identical to the by-hand load: %s"
          % (lines, len(loaded), "yes" if same else "NO"))
    for name, (t, rss, faults) in (("adjtimelog", t_ours), ("sqlite3 .import", t_hand)):
        print("  %-16s %9.4f s  peak %7.1f MB  %7d page faults" % (name, t, rss / 1e6, faults))
    print("  ratio adjtimelog / sqlite3: %.2f (target <= 1.2)" % (t_ours[0] / t_hand[0]))
    # What a session costs with no row at all: the logon (the account's
    # password hash is checked) and the commit; the by-hand load has neither.
    def no_rows():
        fresh_db("localhost:1521/orcl", ours)()
        os.unlink(RAW)
    t_session, _, _ = best_of(n, no_rows, [os.path.join(bindir, "adjtimelog"), "database"], env=env)
    print("  of which a session without rows: %.4f s; ratio without it: %.2f"
          % (t_session, (t_ours[0] - t_session) / t_hand[0]))
    os.unlink(rawlog)
    os.unlink(tsv)
    return same


def main():
    bindir, make_rawlog, work = sys.argv[1:4]
    sizes = [int(s) for s in sys.argv[4:]] or [1000000]
    ok = True
    for lines in sizes:
        ok = one_size(bindir, make_rawlog, work, lines) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
