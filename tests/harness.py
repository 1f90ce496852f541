"""Runs the installed programs the way a node runs them, in a sandbox.

The raw log path of adjtimelog is fixed (/tmp/update_time.log), so every run
happens in a private mount and UTS namespace whose /tmp is a scratch
directory and whose host name is node01: the machine's own /tmp is never
touched and reports can be compared byte for byte.
"""
import atexit
import fcntl
import glob
import hashlib
import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

import pending

# What the tests run never reads the terminal of whoever started them: a
# program that asks for a password when it has one would wait for ever.
_null = os.open(os.devnull, os.O_RDONLY)
os.dup2(_null, 0)
os.close(_null)

BUILD_DIR = os.environ.get("QM4107_BUILD_DIR",
                           os.path.join(os.path.dirname(__file__), "..", "build"))
HOST = "node01"
# The one sandbox of the project (scripts/sandbox says what it does).
SANDBOX = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "scripts", "sandbox"))
RAW = "/tmp/update_time.log"
IS_ROOT = os.geteuid() == 0

_stage = None


def scratch_dir(prefix):
    # Not under /tmp: the sandbox hides the machine's /tmp.
    d = tempfile.mkdtemp(prefix=prefix, dir="/var/tmp")
    os.chmod(d, 0o755)
    atexit.register(shutil.rmtree, d, True)
    return d


def stage():
    """The project installed into a scratch prefix, once per test process."""
    global _stage
    if _stage is None:
        prefix = scratch_dir("qm4107-stage.")
        subprocess.run([SANDBOX, "stage", BUILD_DIR, prefix], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # The stand-in's site databases of a test are its own, wherever a
        # program is run: never the machine's /var/lib/sitedb.
        os.environ.setdefault("SITEDB_DIR", os.path.join(prefix, "var", "lib", "sitedb"))
        _stage = prefix
    return _stage


def program(name):
    return os.path.join(stage(), "bin", name)


def debian_package():
    """The Debian package of this tree as make package builds it; built once
    for each state of the tracked sources, into the build tree."""
    src = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    tracked = subprocess.run(["git", "ls-files", "-z"], cwd=src, stdout=subprocess.PIPE, check=True).stdout
    digest = hashlib.sha256()
    for name in sorted(n for n in tracked.split(b"\0") if n):
        path = os.path.join(src.encode(), name)
        if os.path.isfile(path):
            digest.update(name + b"\0")
            with open(path, "rb") as f:
                digest.update(f.read())
    out = os.path.join(BUILD_DIR, "package-" + digest.hexdigest()[:16])
    # Suites run in parallel (ctest -j) ask at once: one builds, the others
    # wait for it (two builds into one directory remove each other's tree).
    with open(os.path.join(BUILD_DIR, "package.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        debs = glob.glob(os.path.join(out, "qm4107-node-tools_*.deb"))
        if not debs:
            subprocess.run([os.path.join(src, "scripts", "build-package"), out], check=True,
                           stdout=subprocess.DEVNULL)
            debs = glob.glob(os.path.join(out, "qm4107-node-tools_*.deb"))
    return debs[0]


def sanitized_build():
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        return "SANITIZE:BOOL=ON\n" in cache.read()


def namespaces_available():
    return subprocess.run([SANDBOX, "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


class Sandbox:
    """A private /tmp (self.tmp, seen as /tmp inside), the state directory of
    root's runs (self.state, outside that /tmp, as /var/lib is on a node) and
    a scratch area (self.dir)."""

    def __init__(self, host=HOST):
        self.host = host
        self.dir = scratch_dir("qm4107-sandbox.")
        self.tmp = os.path.join(self.dir, "tmp")
        os.mkdir(self.tmp)
        os.chmod(self.tmp, 0o1777)
        self.state = os.path.join(self.dir, "state")

    def path(self, name):
        return os.path.join(self.dir, name)

    def raw(self):
        """The raw log as seen from outside the sandbox."""
        return os.path.join(self.tmp, "update_time.log")

    def write_raw(self, data):
        with open(self.raw(), "wb") as f:
            f.write(data)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def command(self, argv):
        return [SANDBOX, "--tmp", self.tmp, "--state", self.state, "--host", self.host, "--"] + list(argv)

    def backlog(self):
        """The lines waiting in the state directory for the next run."""
        return pending.backlog(self.state)

    def empty_tmp(self):
        """What a reboot does to /tmp."""
        for name in os.listdir(self.tmp):
            path = os.path.join(self.tmp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)

    def run(self, argv, env=None, timeout=300):
        # The working directory must stay visible inside the sandbox.
        full_env = dict(os.environ, PWD=self.dir)
        full_env.update(env or {})
        return subprocess.run(self.command(argv), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, env=full_env, timeout=timeout, cwd=self.dir)

    def adjtimelog(self, *args, env=None):
        return self.run([program("adjtimelog")] + list(args), env=env)


class SandboxTest(unittest.TestCase):
    def setUp(self):
        if not namespaces_available():
            self.skipTest("this machine cannot make mount and UTS namespaces (unshare failed)")
        self.box = Sandbox()


def wait_for_echo_off(fd, seconds=10):
    """getpass turns echo off and flushes pending input: typing before that
    would be echoed and then thrown away."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not termios.tcgetattr(fd)[3] & termios.ECHO:
            return
        time.sleep(0.005)


def run_on_pty(argv, env, prompt, answer=None, timeout=30, background=False, seen=None):
    """Runs argv with a pseudo-terminal as its controlling terminal; types
    answer once prompt shows (a text with a line end, bytes as they
    are). In the background, argv runs in a process group of its own that
    ignores SIGTTIN and SIGTTOU, so reading the terminal fails with EIO.
    seen, a dict of texts, gets the seconds from typing to each text's
    first showing. Returns (exit status, everything shown)."""
    pid, fd = pty.fork()
    if pid == 0:
        if background:
            child = os.fork()
            if child:
                _, status = os.waitpid(child, 0)
                os._exit(os.waitstatus_to_exitcode(status))
            os.setpgid(0, 0)
            signal.signal(signal.SIGTTIN, signal.SIG_IGN)
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        os.execvpe(argv[0], argv, env)
    out = b""
    typed = False
    typed_at = 0
    while True:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            os.kill(pid, 9)
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        for text in (seen or {}):
            if typed and seen[text] is None and text in out:
                seen[text] = time.monotonic() - typed_at
        if answer is not None and not typed and out.endswith(prompt):
            wait_for_echo_off(fd)
            os.write(fd, answer if isinstance(answer, bytes) else answer.encode() + b"\n")
            typed, typed_at = True, time.monotonic()
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out.replace(b"\r\n", b"\n")
