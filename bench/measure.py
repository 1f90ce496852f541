"""Runs a command and measures its wall time and peak resident memory."""
import os
import subprocess
import time


def measure(argv, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=None):
    """Returns (seconds, peak RSS in bytes, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout, stdin=stdin, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss * 1024, proc.returncode


def best_of(n, prepare, argv, **kw):
    """The fastest of n runs, each after prepare(); with the peak memory of that run."""
    best = None
    for _ in range(n):
        prepare()
        result = measure(argv, **kw)
        if result[2] != 0:
            raise SystemExit("%s failed with status %d" % (argv[0], result[2]))
        if best is None or result[0] < best[0]:
            best = result
    return best
