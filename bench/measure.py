"""Runs a command and measures its wall time, peak resident memory and page
faults."""
import os
import subprocess
import tempfile
import time


def measure(argv, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=None):
    """Returns (seconds, page faults, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout, stdin=stdin, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    return elapsed, usage.ru_minflt + usage.ru_majflt, os.waitstatus_to_exitcode(status)


def peak_rss(argv, stdin=subprocess.DEVNULL, env=None):
    """The peak resident memory of one run, in bytes. Taken by GNU time: a
    child of this Python process would carry Python's own peak."""
    with tempfile.NamedTemporaryFile("r") as out:
        rc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name] + argv,
                            stdin=stdin, stdout=subprocess.DEVNULL, env=env).returncode
        if rc != 0:
            raise SystemExit("%s failed with status %d" % (argv[0], rc))
        return int(out.read().split()[-1]) * 1024


def best_of(n, prepare, argv, stdin=None, env=None):
    """The fastest of n runs, each after prepare(), with its page faults, and
    the peak memory of one more run: (seconds, peak RSS, page faults).
    stdin, when given, opens a fresh standard input for each run."""
    def run(how):
        prepare()
        f = stdin() if stdin else subprocess.DEVNULL
        try:
            return how(f)
        finally:
            if stdin:
                f.close()

    runs = [run(lambda f: measure(argv, stdin=f, env=env)) for _ in range(n)]
    for _, _, rc in runs:
        if rc != 0:
            raise SystemExit("%s failed with status %d" % (argv[0], rc))
    seconds, faults, _ = min(runs)
    return seconds, run(lambda f: peak_rss(argv, stdin=f, env=env)), faults
