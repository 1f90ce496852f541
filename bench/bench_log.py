"""The log action on a large raw log, side by side with mawk doing the same
filtering into the same report lines. Runs inside a private /tmp.

usage: bench_log.py BINDIR RAWLOG REPORT_AWK WORKDIR
"""
import os
import shutil
import socket
import sys

from measure import best_of

RAW = "/tmp/update_time.log"


def main():
    bindir, rawlog, awk, work = sys.argv[1:5]
    size = os.path.getsize(rawlog)
    lines = sum(1 for _ in open(rawlog, "rb"))
    ours = os.path.join(work, "report-adjtimelog.log")
    theirs = os.path.join(work, "report-mawk.log")

    def fresh(report, with_raw):
        def prepare():
            if os.path.exists(report):
                os.unlink(report)
            if with_raw:
                shutil.copyfile(rawlog, RAW)
        return prepare

    t_ours, rss_ours, _ = best_of(5, fresh(ours, True), [os.path.join(bindir, "adjtimelog"), "log", "-p", ours])
    t_mawk, rss_mawk, _ = best_of(5, fresh(theirs, False),
                                  ["mawk", "-v", "HOST=" + socket.gethostname(), "-v", "REPORT=" + theirs,
                                   "-f", awk, rawlog])
    same = open(ours, "rb").read() == open(theirs, "rb").read()
    reported = sum(1 for _ in open(ours, "rb"))
    print("log action: %d lines, %.1f MB raw log, %d report lines (identical to mawk's: %s)"
          % (lines, size / 1e6, reported, "yes" if same else "NO"))
    print("  adjtimelog log  %7.3f s  peak %6.1f MB (%.2f x the raw log)" % (t_ours, rss_ours / 1e6, rss_ours / size))
    print("  mawk            %7.3f s  peak %6.1f MB" % (t_mawk, rss_mawk / 1e6))
    print("  speed-up over mawk: %.1f x (target >= 10)" % (t_mawk / t_ours))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
