"""qmems as a set-user-id-root program, started by ordinary users on a
pseudo-terminal, in a private mount namespace whose /etc/passwd and
/etc/shadow hold an ems entry and whose trusted path holds stand-ins of the
control commands."""
import json
import os
import resource
import shutil
import subprocess
import sys
import time
import unittest
import warnings

import harness

PASSWORD = "Ems-Pa55"
EMS_UID = 4242
NOBODY = 65534
BANNER = (b"\n" + b"=" * 49 + b"\n"
          + b"              QM4107 \xcf\xb5\xcd\xb3\xc3\xfc\xc1\xee                    \n"
          + b" " * 49 + b"\n"
          + b"  \xd3\xc3\xb7\xa8     : qmems [ start | stop | restart ]    \n"
          + b"=" * 49 + b"\n\n")
PROMPT = b"\xc7\xeb\xca\xe4\xc8\xeb\xd3\xc3\xbb\xa7\xc3\xdc\xc2\xeb[ems]: "
WRONG = b"\xd3\xc3\xbb\xa7\xc3\xdc\xc2\xeb\xb4\xed\xce\xf3!"
NO_PASSWORD = b"\xb6\xc1\xc8\xa1\xc3\xdc\xc2\xeb\xca\xa7\xb0\xdc!"
EXPIRED = b"ems \xd3\xc3\xbb\xa7\xd2\xd1\xb9\xfd\xc6\xda!"
NO_EMS = b"\xbb\xf1\xc8\xa1 ems \xd3\xc3\xbb\xa7\xd0\xc5\xcf\xa2\xca\xa7\xb0\xdc!"
FORBIDDEN = b"\t\xd6\xb4\xd0\xd0\xce\xc4\xbc\xfe\xb4\xed\xce\xf3: \xd6\xb4\xd0\xd0\xb1\xbb\xbd\xfb\xd6\xb9"
EXEC_FAILED = b"\t\xd6\xb4\xd0\xd0\xce\xc4\xbc\xfe\xb4\xed\xce\xf3: No such file or directory\n"
WARNING = b"\xbe\xaf\xb8\xe6: \xce\xc4\xbc\xfe\xca\xf4\xd0\xd4\xb4\xed\xce\xf3\xa3\xac\xc7\xeb\xd6\xb4\xd0\xd0\xc8\xe7\xcf\xc2\xc3\xfc\xc1\xee: "
# "密码错误次数过多，已锁定，请 " (too many wrong passwords: locked, try again in ...)
LOCKED = (b"\xc3\xdc\xc2\xeb\xb4\xed\xce\xf3\xb4\xce\xca\xfd\xb9\xfd\xb6\xe0\xa3\xac\xd2\xd1\xcb\xf8"
          b"\xb6\xa8\xa3\xac\xc7\xeb ")
INF = float("inf")
# Whether root may raise a hard resource limit here (CAP_SYS_RESOURCE).
with open("/proc/self/status") as _status:
    CAN_RAISE_LIMITS = bool(int([l for l in _status if l.startswith("CapEff:")][0].split()[1], 16) & (1 << 24))
GUESSER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guesser.py")
SECURE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def sha512_crypt(password):
    """A SHA-512-crypt shadow value, by the system's crypt(3) where Python has it."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt
        return crypt.crypt(password, crypt.mksalt(crypt.METHOD_SHA512))
    except ImportError:
        return subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password.encode(),
                              stdout=subprocess.PIPE, check=True).stdout.decode().strip()


def run_on_pty(argv, env, answer=None, **how):
    return harness.run_on_pty(argv, env, PROMPT, answer, **how)


@unittest.skipUnless(harness.IS_ROOT, "needs root to install a set-user-id program and switch users")
class Launcher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not harness.namespaces_available():
            raise unittest.SkipTest("this machine cannot make mount namespaces (unshare failed)")
        cls.dir = harness.scratch_dir("qm4107-qmems.")
        cls.qmems = os.path.join(cls.dir, "qmems")
        shutil.copy(harness.program("qmems"), cls.qmems)
        os.chown(cls.qmems, 0, 0)
        os.chmod(cls.qmems, 0o4755)
        cls.plain = os.path.join(cls.dir, "qmems-plain")  # not set-user-id
        shutil.copy(harness.program("qmems"), cls.plain)
        os.chmod(cls.plain, 0o755)

        stored = sha512_crypt(PASSWORD)
        # The ems entry expires in the year 2243: every granted case also
        # shows that an expiry date still to come is no refusal.
        cls.passwd = cls.write("passwd", "root:x:0:0:root:/root:/bin/sh\n"
                               "ems:x:%d:%d:ems:/home/ems:/bin/sh\n"
                               "nobody:x:%d:%d:nobody:/nonexistent:/usr/sbin/nologin\n" % (EMS_UID, EMS_UID, NOBODY, NOBODY))
        cls.shadow = cls.write("shadow", "root:*:19000:0:99999:7:::\nems:%s:19000:0:99999:7:::\n"
                               "nobody:*:19000:0:99999:7:::\n" % stored, 0o640)
        cls.shadow = cls.write("shadow", "root:*:19000:0:99999:7:::\nems:%s:19000:0:99999:7::99999:\n"
                               % stored, 0o640)
        cls.empty_password = cls.write("shadow-empty", "ems:%s:19000:0:99999:7:::\n" % sha512_crypt(""), 0o640)
        cls.expired = cls.write("shadow-expired", "ems:%s:19000:0:99999:7::1:\n" % stored, 0o640)
        cls.no_ems = cls.write("shadow-no-ems", "root:*:19000:0:99999:7:::\n", 0o640)

        # Stand-ins of the control commands on the trusted path.
        cls.sbin = os.path.join(cls.dir, "sbin")
        os.mkdir(cls.sbin)
        showcmd = os.environ.get("QM4107_SHOWCMD") or os.path.join(harness.BUILD_DIR, "tests", "showcmd")
        for name in ("load", "unload", "qminit_master", "qminit_slave"):
            shutil.copy(showcmd, os.path.join(cls.sbin, name))
        shutil.copy(showcmd, os.path.join(cls.sbin, "reload"))
        os.chmod(os.path.join(cls.sbin, "reload"), 0o644)  # found, not executable
        # qmstopall is nowhere.

        # A caller's own "load" that must never run as root.
        cls.evil = os.path.join(cls.dir, "evil")
        os.mkdir(cls.evil)
        cls.write("evil/load", "#!/bin/sh\necho EVIL-LOAD-RAN\n", 0o755)

    def setUp(self):
        # Each test counts wrong passwords afresh, in a tally of its own.
        self.tally = harness.scratch_dir("qm4107-tally.")
        os.chmod(self.tally, 0o700)

    @classmethod
    def write(cls, name, text, mode=0o644):
        path = os.path.join(cls.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def argv(self, args, uid=NOBODY, program=None, shadow=None, cwd=None, prelude="true", setpriv=(),
             before=(), wrap=()):
        """qmems run by uid in the sandbox: prelude runs as root first, before
        (a command prefix) runs as root around the change to uid, wrap as
        the caller around qmems. The failure tally is the test's own."""
        inner = (["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] + list(setpriv)
                 + ["--"]) if uid else []
        target = program or self.qmems
        tally = ("mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/qmems && mount --bind %s /run/qmems"
                 % self.tally)
        return ([harness.SANDBOX, "--bind", self.passwd, "/etc/passwd", "--bind", shadow or self.shadow,
                 "/etc/shadow", "--bind", self.sbin, "/usr/local/sbin", "--chdir", cwd or self.dir, "--",
                 "/bin/sh", "-c", '%s && %s && exec "$@"' % (tally, prelude), "sh"] + list(before) + inner
                + list(wrap) + [target] + args)

    def launch(self, args, answer=None, env=None, background=False, seen=None, **how):
        full_env = {"PATH": SECURE_PATH, "TERM": "xterm", "LANG": "C"}
        full_env.update(env or {})
        return run_on_pty(self.argv(args, **how), full_env, answer, background=background, seen=seen)

    def test_root_install_makes_it_set_user_id(self):
        st = os.stat(harness.program("qmems"))
        self.assertEqual((st.st_uid, st.st_mode & 0o7777), (0, 0o4755))

    def test_usage_banner(self):
        for args in ([], ["Start"], ["start "], ["--exit", "stop"], ["stop", "-exit"], ["stop", "--exit", "x"]):
            status, out = self.launch(args)
            self.assertEqual(status, 1, args)
            self.assertEqual(out, BANNER, args)

    def test_installation_warning_names_the_program_as_typed(self):
        status, out = self.launch(["start"], program="./qmems-plain")
        self.assertEqual(status, 1)
        self.assertEqual(out, b"\n" + WARNING + b"\n#chown root ./qmems-plain\n#chmod u+s  ./qmems-plain\n\n")

    def test_right_password_runs_the_command_as_root(self):
        status, out = self.launch(["start"], answer=PASSWORD)
        self.assertEqual(status, 0, out)
        self.assertTrue(out.startswith(PROMPT), out)
        self.assertIn(b"ruid=0 euid=0 argc=1\nargv[0]=load\n", out)
        self.assertIn(b"env PATH=%s\n" % SECURE_PATH.encode(), out)
        self.assertIn(b"fds-above-2=0\n", out)

    def test_wrong_password_and_missing_entry(self):
        seen = {WRONG: None}
        status, out = self.launch(["stop"], answer="not-it", seen=seen)
        self.assertEqual((status, out), (1, PROMPT + b"\n" + WRONG + b"\n"))
        self.assertGreaterEqual(seen[WRONG], 1.9, "the verdict comes after the two seconds it costs")
        with open(os.path.join(self.tally, str(NOBODY))) as f:
            self.assertEqual(f.read().split()[0], "1", "the caller's failure is counted")
        status, out = self.launch(["stop"], shadow=self.no_ems)
        self.assertEqual((status, out), (1, NO_EMS + b"\n"))

    def test_exit_skips_the_password_only_for_root_and_ems(self):
        for uid in (0, EMS_UID):
            status, out = self.launch(["stop", "--exit"], uid=uid)
            self.assertEqual(status, 0, uid)
            self.assertTrue(out.startswith(b"ruid=0 euid=0 argc=1\nargv[0]=unload\n"), out)
        status, out = self.launch(["stop", "--exit"], answer="not-it")
        self.assertEqual((status, out), (1, PROMPT + b"\n" + WRONG + b"\n"), "asked as without --exit")

    def test_hostile_environment_does_not_reach_the_command(self):
        env = {"PATH": self.evil + ":/usr/bin:/bin", "LD_PRELOAD": "/nonexistent/evil.so",
               "BASH_ENV": "/nonexistent/evil.sh", "IFS": "/", "BASH_FUNC_load%%": "() { id; }",
               "LANG": "../../etc/shadow", "LC_TIME": "zh_CN.GBK", "TZ": "../../etc/shadow"}
        status, out = self.launch(["start"], answer=PASSWORD, env=env)
        self.assertEqual(status, 0, out)
        self.assertNotIn(b"EVIL", out)
        shown = sorted(l[4:] for l in out.split(b"\n") if l.startswith(b"env "))
        self.assertEqual(shown, sorted([b"PATH=" + SECURE_PATH.encode(), b"HOME=/root", b"USER=root",
                                        b"LOGNAME=root", b"SHELL=/bin/sh", b"TERM=xterm",
                                        b"LC_TIME=zh_CN.GBK"]))
        # Root keeps its own environment and PATH.
        status, out = self.launch(["start", "--exit"], uid=0, env={"PATH": SECURE_PATH, "KEEP": "me"})
        self.assertIn(b"env KEEP=me\n", out)

    def test_commands_missing_or_not_executable(self):
        status, out = self.launch(["stopall"], answer=PASSWORD)
        self.assertEqual(status, 1)
        self.assertEqual(out, PROMPT + b"\n" + EXEC_FAILED)
        status, out = self.launch(["restart"], answer=PASSWORD)
        self.assertEqual(status, 1)
        self.assertEqual(out, PROMPT + b"\n" + FORBIDDEN + b"\n")

    def test_password_is_read_from_the_terminal_only(self):
        # With a stored empty password, an unreadable password must not pass for it.
        shadow = self.empty_password
        status, out = self.launch(["start"], answer=b"\x04", shadow=shadow)  # Ctrl-D at the prompt
        self.assertEqual((status, out), (1, PROMPT + b"\n" + NO_PASSWORD + b"\n"))
        # Nothing is typed in the background: a line typed after the failed
        # read could reach the terminal once its echo is back, and be shown.
        status, out = self.launch(["start"], shadow=shadow, background=True)  # EIO
        self.assertEqual((status, out), (1, PROMPT + b"\n" + NO_PASSWORD + b"\n"))
        r = subprocess.run(self.argv(["start"], shadow=shadow), stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                           env={"PATH": SECURE_PATH}, timeout=30)
        self.assertEqual((r.returncode, r.stdout), (1, NO_PASSWORD + b"\n"), "no terminal at all")
        # Enter is an empty password, compared like any other.
        started = time.monotonic()
        status, out = self.launch(["start"], answer="", shadow=shadow)
        self.assertEqual(status, 0, out)
        self.assertIn(b"argv[0]=load\n", out)
        self.assertLess(time.monotonic() - started, 1.5, "no delay for a right password")

    def test_expired_account_is_refused(self):
        status, out = self.launch(["start"], answer=PASSWORD, shadow=self.expired)
        self.assertEqual((status, out), (1, PROMPT + b"\n" + EXPIRED + b"\n"))

    def test_caller_process_state_does_not_reach_the_command(self):
        prelude = "umask 000 && trap '' TERM HUP"
        status, out = self.launch(["start"], answer=PASSWORD, prelude=prelude)
        self.assertEqual(status, 0, out)
        for shown in (b"uids=0,0,0 gids=0,0,0\n", b"groups=0\n", b"umask=022\n", b"ignored=\n",
                      b"blocked=\n"):
            self.assertIn(shown, out)
        # Root's own call keeps what it has.
        status, out = self.launch(["start", "--exit"], uid=0, prelude=prelude)
        self.assertIn(b"umask=000\n", out)
        ignored = [l for l in out.split(b"\n") if l.startswith(b"ignored=")][0][8:].split(b",")
        self.assertTrue({b"1", b"15"} <= set(ignored), out)

    def test_command_gets_roots_limits_and_priority(self):
        def limits(out):
            line = out.split(b"rlimits=")[1].split(b"\n")[0].decode()
            return [tuple(INF if v == "-1" else int(v) for v in pair.split(":")) for pair in line.split(",")]

        def unlimited(pair):
            return tuple(INF if v == resource.RLIM_INFINITY else v for v in pair)

        # Root's: process 1's limits, 1024 open files to start with, no core
        # file. Where root may not raise a hard limit (no CAP_SYS_RESOURCE),
        # as high as the caller's own hard limit goes.
        expected = []
        for r in range(16):
            soft, hard = (0, 0) if r == resource.RLIMIT_CORE else unlimited(resource.prlimit(1, r))
            if r == resource.RLIMIT_NOFILE:
                soft = min(soft, 1024)
            caller_hard = unlimited(resource.getrlimit(r))[1]
            if not CAN_RAISE_LIMITS and hard > caller_hard:
                soft, hard = min(soft, caller_hard), caller_hard
            expected.append((soft, hard))
        status, out = self.launch(["start"], answer=PASSWORD, wrap=["nice", "-n", "19"])
        self.assertEqual(status, 0, out)
        self.assertIn(b"nice=0\n", out)
        self.assertEqual(limits(out), expected)

        low = ["prlimit", "--fsize=512", "--core=unlimited", "--nofile=16", "--nproc=64", "nice", "-n", "19"]
        status, out = self.launch(["start"], answer=PASSWORD, wrap=low)
        if CAN_RAISE_LIMITS:
            self.assertEqual(status, 0, out)
            self.assertIn(b"nice=0\n", out)
            self.assertEqual(limits(out), expected)
        else:
            self.assertEqual((status, out), (1, b"qmems: RLIMIT_FSIZE is 512, below root's (unlimited), "
                                                b"and cannot be raised here\n"), "never run with them")
        # Root's own call keeps what it set.
        status, out = self.launch(["start", "--exit"], uid=0, wrap=low)
        self.assertEqual(status, 0, out)
        self.assertIn(b"nice=19\n", out)
        kept = limits(out)
        # AddressSanitizer sets the soft core limit to 0 before any code of ours runs.
        core = (0, INF) if harness.sanitized_build() else (INF, INF)
        self.assertEqual([kept[r] for r in (resource.RLIMIT_FSIZE, resource.RLIMIT_CORE, resource.RLIMIT_NOFILE,
                                             resource.RLIMIT_NPROC)], [(512, 512), core, (16, 16), (64, 64)])

    def test_command_gets_a_clean_process_not_the_callers(self):
        # A caller who starves or steers the command they start: idle
        # scheduling and I/O, one CPU, a directory of their own.
        wrap = ["chrt", "--idle", "0", "ionice", "-c", "3", "taskset", "-c", "0"]
        cpus = len(os.sched_getaffinity(0))
        status, out = self.launch(["start"], answer=PASSWORD, wrap=wrap, cwd=self.dir)
        self.assertEqual(status, 0, out)
        for shown in (b"cwd=/\n", b"policy=0\n", b"cpus=%d\n" % cpus):
            self.assertIn(shown, out)
        ioprio = int(out.split(b"ioprio=")[1].split(b"\n")[0])
        self.assertNotEqual(ioprio >> 13, 3, "still in the idle I/O class")
        # Root's own call keeps what it chose.
        status, out = self.launch(["start", "--exit"], uid=0, wrap=wrap, cwd=self.dir)
        self.assertEqual(status, 0, out)
        for shown in (b"cwd=%s\n" % self.dir.encode(), b"policy=5\n", b"cpus=1\n"):
            self.assertIn(shown, out)

    def test_interrupt_at_the_prompt_leaves_no_core(self):
        cwd = os.path.join(self.tally, "cwd")  # a directory the caller owns
        os.mkdir(cwd)
        os.chown(cwd, NOBODY, NOBODY)
        for key in (b"\x1c", b"\x03"):  # Ctrl-\ (SIGQUIT), Ctrl-C
            status, out = self.launch(["start"], answer=b"secr" + key, cwd=cwd, wrap=["prlimit", "--core=unlimited"])
            self.assertEqual((status, out), (1, PROMPT + b"\n"), key)
            self.assertEqual(os.listdir(cwd), [], "no core file")

    def test_parallel_guessers_are_locked_out_and_nobody_else(self):
        seconds = 20
        guessers = [subprocess.Popen([sys.executable, GUESSER, str(seconds)] + self.argv(["start"]),
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL) for _ in range(20)]
        time.sleep(3)  # the guessers are locked out by now
        status, out = self.launch(["start"], uid=NOBODY - 1, answer=PASSWORD)
        self.assertEqual(status, 0, "another caller still gets in: %r" % out)
        counts = {}
        for g in guessers:
            for verdict, n in json.loads(g.communicate(timeout=seconds + 60)[0]).items():
                counts[verdict] = counts.get(verdict, 0) + n
        self.assertLessEqual(counts.get("wrong", 0), 3, counts)
        self.assertGreater(counts.get("locked", 0), 20, counts)
        self.assertEqual(set(counts) - {"wrong", "locked"}, set(), counts)
        # Locked even with the right password, until ten minutes have passed
        # (a clock moved forward in a time namespace of the run's own).
        status, out = self.launch(["start"], answer=PASSWORD)
        self.assertEqual((status, out[:len(LOCKED)]), (1, LOCKED), out)
        status, out = self.launch(["start"], answer=PASSWORD, before=["unshare", "--time", "--fork", "--boottime", "601"])
        self.assertEqual(status, 0, out)
        with open(os.path.join(self.tally, str(NOBODY))) as f:
            self.assertEqual(f.read().split()[0], "0", "a right password resets the count")

    def test_identity_change_without_the_capabilities(self):
        # Without CAP_SETUID the kernel lets a set-user-id program keep the
        # caller's real uid; the launcher makes all three root or refuses.
        status, out = self.launch(["start"], answer=PASSWORD, setpriv=["--bounding-set=-setuid"])
        self.assertEqual(status, 0, out)
        self.assertIn(b"uids=0,0,0 gids=0,0,0\n", out)
        status, out = self.launch(["start"], answer=PASSWORD, setpriv=["--bounding-set=-setuid,-setgid"])
        self.assertEqual((status, out), (1, b""), "root's groups cannot be taken")

    def test_no_library_is_loaded_from_beside_the_program(self):
        dynamic = subprocess.run(["readelf", "-d", harness.program("qmems")], stdout=subprocess.PIPE,
                                 check=True).stdout
        self.assertNotIn(b"RPATH", dynamic)
        self.assertNotIn(b"RUNPATH", dynamic)
        # A copy in a tree of its own, with a libcrypt planted where the other
        # programs find their private library: a crypt_r that makes any
        # password right.
        tree = os.path.join(self.dir, "copy")
        os.makedirs(os.path.join(tree, "bin"), exist_ok=True)
        plant = os.path.join(tree, "lib", "qm4107")
        os.makedirs(plant, exist_ok=True)
        self.write("copy/fake.c", "char *crypt_r(const char *k, const char *s, void *d)"
                                  " { (void)k; (void)d; return (char *)s; }\n")
        self.write("copy/fake.map", "XCRYPT_2.0 { global: crypt_r; local: *; };\n")
        subprocess.run(["cc", "-shared", "-fPIC", "-o", os.path.join(plant, "libcrypt.so.1"),
                        "-Wl,-soname,libcrypt.so.1", "-Wl,--version-script=" + os.path.join(tree, "fake.map"),
                        os.path.join(tree, "fake.c")], check=True)
        copy = os.path.join(tree, "bin", "qmems")
        shutil.copy(self.qmems, copy)
        # The plant works where the loader is told to use it...
        status, out = self.launch(["start"], uid=0, answer="not-it", program=self.plain,
                                  env={"LD_LIBRARY_PATH": plant})
        self.assertEqual(status, 0, out)
        # ...but the copy of the launcher never loads it.
        status, out = self.launch(["start"], uid=0, answer="not-it", program=copy)
        self.assertEqual((status, out), (1, PROMPT + b"\n" + WRONG + b"\n"))


if __name__ == "__main__":
    unittest.main()
