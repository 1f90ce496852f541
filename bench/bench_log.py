"""The log action side by side with what an operator would run instead: a
field-splitting mawk one-liner printing the same report lines, the same
one-liner claiming the raw log as durably as the log action does (moved
aside, copied to a state directory and synced, the report synced), and
bench/report.awk (the same cuts written out). Each at several sizes of a
realistic raw log, with wall time, peak RSS and page faults; the reports
must be identical byte for byte. Runs inside a private /tmp (tmpfs).

usage: bench_log.py BINDIR MAKE_RAWLOG REPORT_AWK WORKDIR SIZE...
"""
import os
import shutil
import socket
import subprocess
import sys

from measure import best_of

RAW = "/tmp/update_time.log"

# What an operator writes at the prompt: fields split on blanks, offset in
# $10, the kind in $5; the time is the text before "ntpdate" without the
# line's first byte, but whole when the line begins with a two-digit day.
ONE_LINER = ('$9 == "offset" && (int($10) != 0 || $5 == "step") '
             '{ p = $4; sub(/^ntpdate\\[/, "", p); sub(/\\]:$/, "", p); '
             'printf "[%s: %s:%s]<<%s>>%s : %s\\n", H, $5, p, '
             'substr($0, /^[0-9][0-9] / ? 1 : 2, index($0, "ntpdate") - (/^[0-9][0-9] / ? 1 : 2)), $8, $10 >> R }')


# The one-liner with the claim an operator would script around it: the raw
# log moved aside (so the job starts a new one), copied to a directory of
# root's and synced before the landing goes, the report synced before the
# copy goes.
DURABLE = ('mv "$1" "$2/landing" && cp "$2/landing" "$2/backlog" && sync "$2/backlog" && rm "$2/landing" && '
           'mawk -v H="$3" -v R="$4" "$5" "$2/backlog" && sync "$4" && rm "$2/backlog"')
DURABLE_STATE = "/var/lib/adjtimelog/oneliner"


def runs_for(lines):
    return 20 if lines <= 1000 else 7 if lines <= 100000 else 5


def one_size(bindir, make_rawlog, awk, work, lines):
    rawlog = os.path.join(work, "raw-%d.log" % lines)
    subprocess.run([sys.executable, make_rawlog, str(lines), rawlog], check=True)
    size = os.path.getsize(rawlog)
    host = socket.gethostname()
    reports = {}

    def fresh(name, with_raw):
        report = os.path.join("/tmp", "report-%s.log" % name)
        reports[name] = report

        def prepare():
            if os.path.exists(report):
                os.unlink(report)
            if with_raw:
                shutil.copyfile(rawlog, RAW)
        return prepare, report

    n = runs_for(lines)
    prep, report = fresh("adjtimelog", True)
    ours = best_of(n, prep, [os.path.join(bindir, "adjtimelog"), "log", "-p", report])
    prep, report = fresh("oneliner", False)
    liner = best_of(n, prep, ["mawk", "-v", "H=" + host, "-v", "R=" + report, ONE_LINER, rawlog])
    prep, report = fresh("durable", True)
    os.makedirs(DURABLE_STATE, mode=0o700, exist_ok=True)
    durable = best_of(n, prep, ["sh", "-c", DURABLE, "sh", RAW, DURABLE_STATE, host, report, ONE_LINER])
    prep, report = fresh("reportawk", False)
    script = best_of(n, prep, ["mawk", "-v", "HOST=" + host, "-v", "REPORT=" + report, "-f", awk, rawlog])
    cat = best_of(n, lambda: None, ["cat", rawlog])

    mine = open(reports["adjtimelog"], "rb").read()
    same = (mine == open(reports["oneliner"], "rb").read() == open(reports["reportawk"], "rb").read() ==
            open(reports["durable"], "rb").read())
    print("log action, %d lines, %.1f MB raw log, %d report lines, identical to the awks: %s"
          % (lines, size / 1e6, mine.count(b"\n"), "yes" if same else "NO"))
    for name, (t, rss, faults) in (("adjtimelog log", ours), ("mawk one-liner", liner),
                                      ("durable one-liner", durable), ("mawk report.awk", script), ("cat", cat)):
        print("  %-17s %9.4f s  peak %7.1f MB (%5.2f x raw)  %7d page faults"
              % (name, t, rss / 1e6, rss / size, faults))
    print("  faster than the durable one-liner %.2f x (target >= 1.5), than the plain one %.2f x, "
          "than report.awk %.2f x" % (durable[0] / ours[0], liner[0] / ours[0], script[0] / ours[0]))
    rejected = sum(1 for line in open(rawlog, "rb") if b"server" not in line)
    if rejected and lines >= 100000:
        # A rejected line costs two diagnostics, each flushed: what they
        # take shows on the same log without them.
        clean = rawlog + ".accepted"
        with open(rawlog, "rb") as f, open(clean, "wb") as out:
            out.writelines(line for line in f if b"server" in line)
        prep = lambda: shutil.copyfile(clean, RAW)
        t, _, _ = best_of(n, prep, [os.path.join(bindir, "adjtimelog"), "log", "-p", "/tmp/report-clean.log"])
        tl, _, _ = best_of(n, lambda: None, ["mawk", "-v", "H=" + host, "-v", "R=/dev/null", ONE_LINER, clean])
        print("  without its %d rejected lines (%d diagnostics): adjtimelog %.4f s, one-liner %.4f s, %.2f x"
              % (rejected, 2 * rejected, t, tl, tl / t))
        os.unlink(clean)
    os.unlink(rawlog)
    return same


def main():
    bindir, make_rawlog, awk, work = sys.argv[1:5]
    sizes = [int(s) for s in sys.argv[5:]] or [1000000]
    ok = True
    for lines in sizes:
        ok = one_size(bindir, make_rawlog, awk, work, lines) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
