"""A site database as a fleet fills it: NODES nodes, each uploading one row
every STEP seconds for DAYS days up to NOW, inserted in the order they
arrive (time first, as the nodes upload), by the database itself (a
recursive query in SQLite, generate_series in PostgreSQL).

Each node drifts by its own amount (-50 to +50 ppm) with noise of half a
millisecond; about one row in 1,009 is a step (up to 2.5 s), one in 997 a
failure (no server, no offset), and one node in a hundred has fallen silent
for its last hour. Node i's drift in ppm is (i * 37) % 101 - 50.

usage: make_fleet.py sqlite FILE NODES DAYS STEP NOW
       make_fleet.py postgres 'psql ARGS...' NODES DAYS STEP NOW
"""
import shlex
import subprocess
import sys


def fleet_sql(dialect, nodes, days, step, now):
    rows = days * 86400 // step
    start = now - rows * step
    where = "NOT (i %% 100 = 99 AND j > %d)" % (rows - 3600 // step - 1)
    failure = "(i * 31 + j) % 997 = 0"
    stepping = "(i * 17 + j) % 1009 = 0"
    at = "%d + j * %d + i %% %d" % (start, step, step)
    slew = "((i * 37) %% 101 - 50) * %d * 1e-6 + (((i * 7919 + j * 104729) %% 1001) - 500) * 1e-6" % step
    jump = "((i * 7 + j) % 2000 - 1000) / 400.0"
    if dialect == "sqlite":
        return """
PRAGMA journal_mode = WAL;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < {nodes} - 1),
               k(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM k WHERE j < {rows} - 1)
INSERT INTO NTPADJUSTS (NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME)
SELECT j * {nodes} + i + 1, printf('node%05d.site.example', i),
       strftime('%Y-%m-%dT%H:%M:%SZ', {at}, 'unixepoch'),
       CASE WHEN {failure} THEN NULL ELSE '192.0.2.' || (i % 250) END,
       CASE WHEN {failure} THEN NULL WHEN {stepping} THEN printf('%+.6f', {jump}) ELSE printf('%+.6f', {slew}) END,
       CASE WHEN {failure} THEN ':' ELSE ' adjust:' END || (1000 + i % 30000),
       {at} + 2
FROM k CROSS JOIN n WHERE {where};
UPDATE DMOCI_SEQUENCES SET LAST_VALUE = {total} WHERE NAME = 'NTPADJUSTS_SEQ';
COMMIT;
""".format(nodes=nodes, rows=rows, at=at, failure=failure, stepping=stepping, jump=jump, slew=slew,
           where=where, total=nodes * rows)
    signed = "CASE WHEN ({x}) >= 0 THEN '+' ELSE '' END || round(({x})::numeric, 6)::text"
    return """
SET synchronous_commit = off;
INSERT INTO dbu.ntpadjusts (ntpid, node, time, serverip, "offset", pid, runtime)
SELECT j::bigint * {nodes} + i + 1, 'node' || lpad(i::text, 5, '0') || '.site.example',
       to_char(to_timestamp({at}) AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'),
       CASE WHEN {failure} THEN NULL ELSE '192.0.2.' || (i % 250) END,
       CASE WHEN {failure} THEN NULL WHEN {stepping} THEN {jump_text} ELSE {slew_text} END,
       CASE WHEN {failure} THEN ':' ELSE ' adjust:' END || (1000 + i % 30000),
       {at} + 2
FROM generate_series(0, {rows} - 1) j CROSS JOIN generate_series(0, {nodes} - 1) i WHERE {where}
ORDER BY j, i;
SELECT setval('dbu.ntpadjusts_seq', {total});
ANALYZE dbu.ntpadjusts;
""".format(nodes=nodes, rows=rows, at=at, failure=failure, stepping=stepping,
           jump_text=signed.format(x=jump), slew_text=signed.format(x=slew), where=where, total=nodes * rows)


def main():
    dialect, target, nodes, days, step, now = sys.argv[1:7]
    sql = fleet_sql(dialect, int(nodes), int(days), int(step), int(now))
    argv = ["sqlite3", "-bail", target] if dialect == "sqlite" else shlex.split(target) + ["-v", "ON_ERROR_STOP=1"]
    subprocess.run(argv, input=sql.encode(), check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
