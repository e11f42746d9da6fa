"""The program's confinement, seen from outside: once its options are read
it writes only beneath the target directory and runs no program, while
everything it does itself still works."""

import os
import re
import subprocess
import time
import unittest

from harness import (SANITIZED, WAVELOT, Case, Response, item, plain_env, rss, run)

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"
SHIM = os.environ.get("WAVELOT_SHIM", "")
HELPER = os.environ.get("WAVELOT_RENAME_HELPER", "")
LINE = re.compile(r"^Debug : confinement : (Landlock ABI (\d+)|no Landlock), "
                  r"(system-call filter|no system-call filter)\n|^Debug : confinement : none\n")
INFO = b"Filename : ep.mp3\nTitle : ep\nTags : \nDate : Tue Jun 10 04:00:00 2003\n"


class Confinement(Case):
    def feed(self):
        srv = self.server()
        srv.routes["/ep.mp3"] = Response(b"the episode")
        srv.routes["/feed.xml"] = Response(rss([item("ep", enclosure=srv.url("/ep.mp3"),
                                                     pubdate=DATE)]))
        return self.list_file(srv.url("/feed.xml"))

    def in_force(self):
        """(Landlock ABI or 0, system-call filter on) as the program says."""
        r = run(["-v", "-c", self.list_file(), "-o", self.out], confinement=True)
        m = LINE.match(r.stderr.decode())
        self.assertIsNotNone(m, r.stderr)
        return int(m.group(2) or 0), m.group(3) == "system-call filter"

    def test_the_verbose_run_says_what_is_in_force(self):
        abi, filtered = self.in_force()
        if abi == 0 and not filtered:
            self.skipTest("this kernel offers neither Landlock nor seccomp")
        # Seen from outside: a run held in its fetch by a server that never
        # answers shows the filter and no-new-privileges in /proc.
        srv = self.server()
        srv.routes["/slow.xml"] = Response(rss([]), late=5)
        proc = subprocess.Popen([WAVELOT, "-c", self.list_file(srv.url("/slow.xml")), "-o",
                                 self.out], stderr=subprocess.DEVNULL, env=plain_env())
        try:
            deadline = time.time() + 10
            while "/slow.xml" not in srv.paths() and time.time() < deadline:
                time.sleep(0.01)
            with open("/proc/%d/status" % proc.pid) as f:
                status = f.read()
        finally:
            proc.kill()
            proc.wait()
        self.assertRegex(status, r"\nNoNewPrivs:\s+1\n")
        if filtered:
            self.assertRegex(status, r"\nSeccomp:\s+2\n")

    @unittest.skipUnless(SHIM and HELPER and not SANITIZED,
                         "needs the preload shim, which a sanitizer runtime will not run beside")
    def test_at_the_rename_nothing_outside_can_be_made_and_nothing_run(self):
        abi, filtered = self.in_force()
        if abi == 0 or not filtered:
            self.skipTest("this kernel does not offer both Landlock and seccomp")
        outside = os.path.join(self.dir, "outside")
        r = run(["-i", "-c", self.feed(), "-o", self.out],
                env={"LD_PRELOAD": SHIM, "WAVELOT_PROBE": outside})
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, b"probe: create EACCES, run EPERM\n")
        self.assertFalse(os.path.exists(outside))
        self.assertEqual(self.read("ep.mp3"), b"the episode")
        self.assertEqual(self.read("ep.mp3.info"), INFO)

        # The same probe in a program that is not confined: both work.
        before, after = self.write("before", "x"), os.path.join(self.dir, "after")
        r = subprocess.run([HELPER, before, after], capture_output=True,
                           env=dict(plain_env(), LD_PRELOAD=SHIM, WAVELOT_PROBE=outside))
        self.assertEqual((r.returncode, r.stderr), (0, b"probe: create ok, run ok\n"))
        self.assertTrue(os.path.exists(outside) and os.path.exists(after))

    def test_target_given_relative_and_with_a_final_slash(self):
        cfg = self.feed()
        for target in ("out", "out/", "./out//"):
            with self.subTest(target):
                for name in os.listdir(self.out):
                    os.remove(os.path.join(self.out, name))
                r = run(["-i", "-c", cfg, "-o", target], cwd=self.dir)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(self.read("ep.mp3"), b"the episode")
                self.assertEqual(self.read("ep.mp3.info"), INFO)


if __name__ == "__main__":
    unittest.main()
