"""qmems as a set-user-id-root program, started by ordinary users on a
pseudo-terminal, in a private mount namespace whose /etc/passwd and
/etc/shadow hold an ems entry and whose trusted path holds stand-ins of the
control commands."""
import os
import pty
import select
import shutil
import subprocess
import termios
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
NO_EMS = b"\xbb\xf1\xc8\xa1 ems \xd3\xc3\xbb\xa7\xd0\xc5\xcf\xa2\xca\xa7\xb0\xdc!"
FORBIDDEN = b"\t\xd6\xb4\xd0\xd0\xce\xc4\xbc\xfe\xb4\xed\xce\xf3: \xd6\xb4\xd0\xd0\xb1\xbb\xbd\xfb\xd6\xb9"
EXEC_FAILED = b"\t\xd6\xb4\xd0\xd0\xce\xc4\xbc\xfe\xb4\xed\xce\xf3: No such file or directory\n"
WARNING = b"\xbe\xaf\xb8\xe6: \xce\xc4\xbc\xfe\xca\xf4\xd0\xd4\xb4\xed\xce\xf3\xa3\xac\xc7\xeb\xd6\xb4\xd0\xd0\xc8\xe7\xcf\xc2\xc3\xfc\xc1\xee: "
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


def wait_for_echo_off(fd, seconds=10):
    """getpass turns echo off and flushes pending input: typing before that
    would be echoed and then thrown away."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not termios.tcgetattr(fd)[3] & termios.ECHO:
            return
        time.sleep(0.005)


def run_on_pty(argv, env, answer=None, timeout=30):
    """Runs argv with a pseudo-terminal as its controlling terminal; types
    answer once the prompt shows. Returns (exit status, everything shown)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe(argv[0], argv, env)
    out = b""
    typed = False
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
        if answer is not None and not typed and out.endswith(PROMPT):
            wait_for_echo_off(fd)
            os.write(fd, answer.encode() + b"\n")
            typed = True
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out.replace(b"\r\n", b"\n")


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
        cls.passwd = cls.write("passwd", "root:x:0:0:root:/root:/bin/sh\n"
                               "ems:x:%d:%d:ems:/home/ems:/bin/sh\n"
                               "nobody:x:%d:%d:nobody:/nonexistent:/usr/sbin/nologin\n" % (EMS_UID, EMS_UID, NOBODY, NOBODY))
        cls.shadow = cls.write("shadow", "root:*:19000:0:99999:7:::\nems:%s:19000:0:99999:7:::\n"
                               "nobody:*:19000:0:99999:7:::\n" % stored, 0o640)
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

    @classmethod
    def write(cls, name, text, mode=0o644):
        path = os.path.join(cls.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def launch(self, args, uid=NOBODY, answer=None, env=None, program=None, shadow=None, cwd=None):
        inner = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", "--"] if uid else []
        target = program or self.qmems
        script = ('mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/shadow && '
                  'mount --bind "$3" /usr/local/sbin && cd "$4" && shift 4 && exec "$@"')
        argv = (["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                 self.passwd, shadow or self.shadow, self.sbin, cwd or self.dir] + inner + [target] + args)
        full_env = {"PATH": SECURE_PATH, "TERM": "xterm", "LANG": "C"}
        full_env.update(env or {})
        return run_on_pty(argv, full_env, answer)

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
        status, out = self.launch(["stop"], answer="not-it")
        self.assertEqual((status, out), (1, PROMPT + b"\n" + WRONG + b"\n"))
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


if __name__ == "__main__":
    unittest.main()
