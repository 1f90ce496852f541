"""Guesses the ems password in a loop for SECONDS, each guess on a
pseudo-terminal of its own, and prints how each ended, as JSON:
  python3 guesser.py SECONDS COMMAND..."""
import json
import sys
import time

from test_qmems_launcher import LOCKED, PROMPT, SECURE_PATH, WRONG, run_on_pty

deadline = time.monotonic() + float(sys.argv[1])
counts = {}
while time.monotonic() < deadline:
    status, out = run_on_pty(sys.argv[2:], {"PATH": SECURE_PATH, "LANG": "C"}, answer="guess")
    verdict = ("wrong" if out == PROMPT + b"\n" + WRONG + b"\n" else
               "locked" if LOCKED in out and status == 1 else "other: %d %r" % (status, out[-60:]))
    counts[verdict] = counts.get(verdict, 0) + 1
print(json.dumps(counts))
