"""One writer appends numbered ntpdate lines to the raw log, the way a cron
job does (open, append, close), while adjtimelog log runs again and again,
two runs at a time, now and then one against a report it cannot write. At
the end every line must be in the report or still pending (in the raw log
or the backlog of $STATE_DIRECTORY), exactly once.

usage: concurrent_writer.py ADJTIMELOG REPORT LINES RUNS
"""
import collections
import os
import subprocess
import sys
import threading
import time

import pending

RAW = "/tmp/update_time.log"


def writer(count, done):
    for i in range(count):
        with open(RAW, "ab") as f:
            f.write(b" 7 Dec 09:49:19 ntpdate[%d]: step time server 192.0.2.1 offset 0.1 sec\n" % i)
        if i % 10 == 9:
            time.sleep(0.002)  # spread over the runs
    done.set()


def ids_in(data):
    out = []
    for text in data.splitlines():
        if b"step:" in text:
            out.append(int(text.split(b"step:")[1].split(b"]")[0]))
        elif b"ntpdate[" in text:
            out.append(int(text.split(b"ntpdate[")[1].split(b"]")[0]))
    return out


def main():
    exe, report, count, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    done = threading.Event()
    t = threading.Thread(target=writer, args=(count, done))
    t.start()
    failures = 0
    n = 0
    while n < runs or not done.is_set():
        # Two overlapping runs: the lock beside the raw log keeps them apart.
        pair = [subprocess.Popen([exe, "log", "-p", "/dev/full" if (n + k) % 7 == 3 else report],
                                 stdout=subprocess.DEVNULL) for k in (0, 1)]
        for proc in pair:
            failures += proc.wait() != 0
        n += 2
    t.join()
    seen = collections.Counter()
    if os.path.exists(report):
        seen.update(ids_in(open(report, "rb").read()))
    if os.path.exists(RAW):
        seen.update(ids_in(open(RAW, "rb").read()))
    seen.update(ids_in(pending.backlog(os.environ["STATE_DIRECTORY"])))
    lost = sum(1 for i in range(count) if seen[i] == 0)
    duplicated = sum(1 for i in range(count) if seen[i] > 1)
    print("lines=%d runs=%d failed-runs=%d lost=%d duplicated=%d" % (count, n, failures, lost, duplicated))
    return 0 if lost == 0 and duplicated == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
