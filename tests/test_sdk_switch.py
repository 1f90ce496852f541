"""-DOCI_SDK_DIR builds adjtimelog against a vendor-shaped SDK instead of the
stand-in. The stand-in itself, installed as an SDK, plays the vendor."""
import os
import shutil
import subprocess
import unittest

import harness


class SdkSwitch(unittest.TestCase):
    def test_build_against_an_sdk_prefix(self):
        src = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
        sdk = harness.scratch_dir("qm4107-sdk.")
        os.makedirs(os.path.join(sdk, "include"))
        os.makedirs(os.path.join(sdk, "lib"))
        stage = harness.stage()
        shutil.copy(os.path.join(stage, "include", "qm4107", "oci.h"), os.path.join(sdk, "include"))
        lib = [os.path.join(root, "libdmoci.so") for root, _, files in os.walk(stage) if "libdmoci.so" in files][0]
        shutil.copy(lib, os.path.join(sdk, "lib"))

        build = harness.scratch_dir("qm4107-sdkbuild.")
        # The same sanitizers as the build under test: its library is the SDK's.
        with open(os.path.join(harness.BUILD_DIR, "CMakeCache.txt")) as cache:
            sanitize = "ON" if "SANITIZE:BOOL=ON\n" in cache.read() else "OFF"
        run = lambda *a: subprocess.run(a, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        r = run("cmake", "-S", src, "-B", build, "-DOCI_SDK_DIR=" + sdk, "-DBUILD_TESTING=OFF",
                "-DCMAKE_BUILD_TYPE=Release", "-DSANITIZE=" + sanitize)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        r = run("cmake", "--build", build, "--target", "adjtimelog", "sitedb", "-j2")
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        exe = os.path.join(build, "adjtimelog", "adjtimelog")
        self.assertFalse(os.path.exists(os.path.join(build, "oci", "libdmoci.so")), "no stand-in built")

        needed = run("readelf", "-d", exe).stdout.decode()
        self.assertIn("Shared library: [libdmoci.so]", needed)
        self.assertIn(os.path.join(sdk, "lib"), needed, "linked from the SDK")

        # And it works: the database action through the SDK's library.
        box = harness.Sandbox()
        env = dict(os.environ, SITEDB_DIR=box.path("db"))
        subprocess.run([harness.program("sitedb"), "init"], env=env, check=True, stdout=subprocess.DEVNULL)
        box.write_raw(b" 7 Dec 09:49:19 ntpdate[1]: step time server s offset 1 sec\n")
        r = box.run([exe, "database"], env={"SITEDB_DIR": box.path("db")})
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertTrue(r.stdout.endswith(b" Finish insert!\n"), r.stdout)
        # The fleet's report reads the table through the SDK's library; the
        # stand-in's administration is not in such a build.
        sitedb = os.path.join(build, "sitedb", "sitedb")
        r = subprocess.run([sitedb, "report", "--since", "400d"], env=env, stdout=subprocess.PIPE)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.split(b"\n")[1].split()[:2], [b"node01", b"1"], r.stdout)
        self.assertEqual(subprocess.run([sitedb, "init"], env=env, stderr=subprocess.DEVNULL).returncode, 2)


if __name__ == "__main__":
    unittest.main()
