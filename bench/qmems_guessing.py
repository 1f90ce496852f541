"""How fast a caller can guess the ems password: GUESSERS launchers at a
time, each on a pseudo-terminal of its own, for SECONDS, against the qmems
of QM4107_BUILD_DIR (installed set-user-id in the launcher tests' sandbox).
Prints the wrong-password answers per second. As root:
  QM4107_BUILD_DIR=build python3 bench/qmems_guessing.py [GUESSERS [SECONDS]]"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import test_qmems_launcher as launcher  # noqa: E402

guessers = int(sys.argv[1]) if len(sys.argv) > 1 else 20
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
launcher.Launcher.setUpClass()
case = launcher.Launcher()
case.setUp()
argv = case.argv(["start"])
procs = [subprocess.Popen([sys.executable, launcher.GUESSER, str(seconds)] + argv, stdout=subprocess.PIPE,
                          stdin=subprocess.DEVNULL) for _ in range(guessers)]
counts = {}
for p in procs:
    for verdict, n in json.loads(p.communicate()[0]).items():
        counts[verdict] = counts.get(verdict, 0) + n
print("%d guessers, %g s: %s; %.2f wrong-password answers per second"
      % (guessers, seconds, counts, counts.get("wrong", 0) / seconds))
