"""The database action killed on entry to each of its system calls (strace
injects SIGKILL at the Nth call of a name, so an unkilled run is traced
first and each call aimed at by its name and rank), and so is the run that
recovers a batch whose commit answer was lost; after each kill, plain runs
until one succeeds. Every line must then be in the site database exactly
once, on SQLite and on PostgreSQL.

The sweep runs inside one sandbox (python3 test_crash_points.py sweep ...),
so that the hundreds of runs share its private /tmp."""
import collections
import os
import shutil
import sqlite3
import subprocess
import sys
import unittest

import harness
import pgserver

RAW = "/tmp/update_time.log"


def lines(first, n=2):
    return b"".join(b" 7 Dec 09:49:19 ntpdate[%d]: adjust time server 192.0.2.10 offset 0.5 sec\n" % (first + i)
                    for i in range(n))


def calls(trace):
    """(name, rank) of every system call in an strace output, in order."""
    seen = collections.Counter()
    out = []
    with open(trace) as f:
        for line in f:
            name = line.split("(", 1)[0].split()[-1] if "(" in line else ""
            if name and name.isidentifier() and "resumed>" not in line:
                seen[name] += 1
                out.append((name, seen[name]))
    return out


def sweep(exe, out, connect, first, template):
    """Inside the sandbox: both sweeps; what each point left, as lines of
    "pid killed-rc reruns call" in out. With a template, the stand-in's
    database file is made anew from it for each point, and the line is
    followed by how often each of the point's pids is stored."""
    state = os.environ["STATE_DIRECTORY"]
    base = [exe, "database"] + (["-s", connect] if connect else [])
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    db = os.path.join(os.environ.get("SITEDB_DIR", ""), "orcl.db")

    def fresh(pid, lose_answer=False):
        shutil.rmtree(state, ignore_errors=True)
        if template:
            for suffix in ("-wal", "-shm"):
                if os.path.exists(db + suffix):
                    os.unlink(db + suffix)
            shutil.copyfile(template, db)
        with open(RAW, "wb") as f:
            f.write(lines(pid))
        if lose_answer:
            subprocess.run(base, env=dict(os.environ, DMOCI_FAULT_LOSE_COMMIT_ANSWER="1"), **quiet)

    def stored(pid):
        if not template:
            return ""
        con = sqlite3.connect(db)
        n = [con.execute("SELECT COUNT(*) FROM NTPADJUSTS WHERE PID = ?", (" adjust:%d" % p,)).fetchone()[0]
             for p in (pid, pid + 1)]
        con.close()
        return " %d %d" % tuple(n)

    results = []
    pid = first
    for lose_answer in (False, True):
        fresh(pid, lose_answer)
        trace = state + ".trace"
        subprocess.run(["strace", "-qq", "-o", trace] + base, **quiet)
        points = calls(trace)
        for name, rank in points:
            pid += 2
            fresh(pid, lose_answer)
            killed = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + name,
                                     "-e", "inject=%s:signal=KILL:when=%d" % (name, rank)] + base, **quiet)
            reruns = 0
            while reruns < 4 and subprocess.run(base, **quiet).returncode != 0:
                reruns += 1
            results.append("%d %d %d %s:%d%s" % (pid, killed.returncode, reruns, name, rank, stored(pid)))
        pid += 2
    with open(out, "w") as f:
        f.write("\n".join(results) + "\n")


if __name__ == "__main__" and sys.argv[1:2] == ["sweep"]:
    # Inside the sandbox, where the build tree may be hidden (under /tmp):
    # nothing below is needed.
    sweep(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6])
    sys.exit(0)


@unittest.skipUnless(harness.IS_ROOT and shutil.which("strace"), "the sweep needs root and strace")
@unittest.skipIf(harness.sanitized_build(), "the sweep runs once, from the normal build's tests")
class CrashPoints(harness.SandboxTest):
    def run_sweep(self, connect, env=None, template=""):
        out = self.box.path("points")
        # The tree may lie under /tmp, which the sandbox hides.
        for name in ("test_crash_points.py", "harness.py", "pgserver.py", "pending.py"):
            shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), self.box.dir)
        r = self.box.run([sys.executable, os.path.join(self.box.dir, "test_crash_points.py"), "sweep",
                          harness.program("adjtimelog"), out, connect or "", "1000", template], env=env,
                         timeout=1800)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(out) as f:
            points = [l.split() for l in f.read().split("\n") if l]
        self.assertGreater(len(points), 200, "every system call of both runs")
        sys.stderr.write("\ncrash points: %d swept (%d of them killed the run)\n"
                         % (len(points), sum(1 for p in points if p[1] == "-9")))
        self.assertGreater(sum(1 for p in points if p[1] == "-9"), len(points) * 0.9, "the kills took")
        self.assertEqual([p for p in points if p[2] == "4"], [], "a run after the kill always succeeds")
        return points

    def test_on_the_stand_in(self):
        env = {"SITEDB_DIR": self.box.path("db")}
        subprocess.run([harness.program("sitedb"), "init"], env=dict(os.environ, **env), check=True,
                       stdout=subprocess.DEVNULL)
        template = self.box.path("template.db")
        shutil.copyfile(self.box.path("db/orcl.db"), template)
        points = self.run_sweep(None, env, template)
        self.assertEqual([p for p in points if p[4:] != ["1", "1"]], [], "pid, kill, reruns, call, times stored")

    @unittest.skipIf(pgserver.available(), pgserver.available())
    def test_on_a_postgresql_server(self):
        server = pgserver.Server()
        self.addCleanup(server.stop)
        db, uri = server.new_database()
        points = self.run_sweep(uri)
        counts = collections.Counter(int(l.split(":")[1]) for l in server.psql("SELECT pid FROM dbu.ntpadjusts",
                                                                              db).split())
        wrong = {p + i: counts[p + i] for p in (int(q[0]) for q in points) for i in (0, 1) if counts[p + i] != 1}
        self.assertEqual(wrong, {}, "pid: times stored")


if __name__ == "__main__":
    unittest.main()
