"""The database action on a large raw log, side by side with the sqlite3
command-line tool loading the same rows into the same table by hand
(.import into a temporary table, then one INSERT ... SELECT, in one
transaction). Runs inside a private /tmp.

usage: bench_database.py BINDIR RAWLOG REPORT_AWK WORKDIR
"""
import os
import shutil
import sqlite3
import subprocess
import sys

from measure import measure

RAW = "/tmp/update_time.log"


def sitedb(bindir, env, target):
    subprocess.run([os.path.join(bindir, "sitedb"), "init", target], env=env, check=True,
                   stdout=subprocess.DEVNULL)


def main():
    bindir, rawlog, _, work = sys.argv[1:5]
    env = dict(os.environ, SITEDB_DIR=os.path.join(work, "db"))
    ours = os.path.join(work, "db", "orcl.db")
    byhand = os.path.join(work, "db", "byhand.db")
    sitedb(bindir, env, "localhost:1521/orcl")
    sitedb(bindir, env, byhand)

    shutil.copyfile(rawlog, RAW)
    t_ours, rss_ours, rc = measure([os.path.join(bindir, "adjtimelog"), "database"], env=env)
    if rc != 0:
        raise SystemExit("adjtimelog database failed with status %d" % rc)

    # The same rows, as a file the by-hand load imports.
    tsv = os.path.join(work, "rows.tsv")
    con = sqlite3.connect(ours)
    rows = con.execute("SELECT NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME FROM NTPADJUSTS ORDER BY NTPID").fetchall()
    commits = con.execute("SELECT COUNT(*) FROM NTPADJUSTS").fetchone()[0]
    con.close()
    with open(tsv, "w") as f:
        for row in rows:
            f.write("\t".join("" if v is None else str(v) for v in row) + "\n")
    script = os.path.join(work, "load.sql")
    with open(script, "w") as f:
        f.write(".mode tabs\n"
                "BEGIN;\n"
                "CREATE TEMP TABLE RAW (NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME);\n"
                ".import %s RAW\n"
                "INSERT INTO NTPADJUSTS (NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME)\n"
                "  SELECT rowid, NODE, TIME, NULLIF(SERVERIP, ''), NULLIF(OFFSET, ''), PID, RUNTIME FROM RAW;\n"
                "UPDATE DMOCI_SEQUENCES SET LAST_VALUE = (SELECT MAX(NTPID) FROM NTPADJUSTS)"
                " WHERE NAME = 'NTPADJUSTS_SEQ';\n"
                "COMMIT;\n" % tsv)
    with open(script) as stdin:
        t_hand, rss_hand, rc = measure(["sqlite3", byhand], stdin=stdin)
    if rc != 0:
        raise SystemExit("sqlite3 failed with status %d" % rc)
    con = sqlite3.connect(byhand)
    loaded = con.execute("SELECT COUNT(*) FROM NTPADJUSTS").fetchone()[0]
    con.close()

    print("database action: %d rows inserted (by hand: %d)" % (commits, loaded))
    print("  adjtimelog database  %7.3f s  peak %6.1f MB  (parses the raw log, one commit)" % (t_ours, rss_ours / 1e6))
    print("  sqlite3 .import      %7.3f s  peak %6.1f MB  (rows already cut, one transaction)" % (t_hand, rss_hand / 1e6))
    print("  ratio adjtimelog / sqlite3: %.2f (target <= 1.0)" % (t_ours / t_hand))
    return 0 if commits == loaded else 1


if __name__ == "__main__":
    sys.exit(main())
