"""A private PostgreSQL server for the tests (scripts/pg-test-server), with a
fresh database per test and psql as the DBA's hand."""
import os
import shutil
import subprocess

import harness

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "pg-test-server")


def available():
    """Why a server cannot be had here, or None."""
    if not harness.IS_ROOT:
        return "the test server runs as nobody, which needs root"
    versions = os.listdir("/usr/lib/postgresql") if os.path.isdir("/usr/lib/postgresql") else []
    if not any(os.path.exists("/usr/lib/postgresql/%s/bin/initdb" % v) for v in versions):
        return "Debian's postgresql is not installed"
    if shutil.which("psql") is None:
        return "psql is not installed"
    return None


class Server:
    def __init__(self):
        self.dir = harness.scratch_dir("qm4107-pg.")
        self.port = int(subprocess.run([SCRIPT, "start", self.dir], check=True, stdout=subprocess.PIPE,
                                       timeout=120).stdout.decode().split()[-1])
        self.count = 0

    def stop(self):
        subprocess.run([SCRIPT, "stop", self.dir], timeout=120)

    def restart(self, mode="immediate"):
        subprocess.run([SCRIPT, "restart", self.dir, mode], check=True, timeout=120)

    def psql(self, sql, db="postgres"):
        r = subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                            "-p", str(self.port), "-U", "postgres", "-d", db, "-c", sql],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if r.returncode != 0:
            raise RuntimeError(r.stderr.decode())
        return r.stdout.decode()

    def new_database(self):
        """A fresh database with the schema, made by sitedb as the DBA would;
        returns the URI a node uses (role and password from the build)."""
        self.count += 1
        name = "site%d" % self.count
        self.psql("CREATE DATABASE %s" % name)
        admin = "postgresql://postgres@/%s?host=%s&port=%d" % (name, self.dir, self.port)
        subprocess.run([harness.program("sitedb"), "init", admin], check=True, stdout=subprocess.DEVNULL)
        return name, "postgresql://127.0.0.1:%d/%s" % (self.port, name)

    def rows(self, db):
        out = self.psql("SELECT ntpid, node, coalesce(time, '<NULL>'), coalesce(serverip, '<NULL>'), "
                        "coalesce(\"offset\", '<NULL>'), pid, runtime FROM dbu.ntpadjusts ORDER BY ntpid", db)
        return [tuple(l.split("|")) for l in out.splitlines() if l]
