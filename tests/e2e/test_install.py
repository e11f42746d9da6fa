"""What a user installs: the man page, the Debian package, the user units."""

import os
import re
import shutil
import subprocess
import unittest

from harness import SANITIZED, WAVELOT, Case

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("WAVELOT_BUILD", "")


class Installed(Case):
    @unittest.skipUnless(shutil.which("groff"), "needs groff")
    def test_man_page_renders_and_lints_clean(self):
        page = os.path.join(ROOT, "docs", "wavelot.1")
        r = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        if shutil.which("mandoc"):
            r = subprocess.run(["mandoc", "-Tlint", "-Wwarning", page], capture_output=True)
            self.assertEqual(r.stdout + r.stderr, b"")
        text = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", page], capture_output=True,
                              check=True).stdout.decode()
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS",
                        "EXAMPLES", "SEE ALSO"):
            self.assertRegex(text, r"(?m)^%s$" % section)

    @unittest.skipUnless(shutil.which("readelf"), "needs readelf")
    def test_links_one_libcurl_and_no_cxx_runtime(self):
        dynamic = subprocess.run(["readelf", "-d", WAVELOT], capture_output=True, check=True,
                                 text=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
        # The GnuTLS libcurl that libmrss's libnxml loads, and no second one.
        self.assertEqual([n for n in needed if "curl" in n], ["libcurl-gnutls.so.4"])
        if not SANITIZED:  # the sanitizer runtimes bring their own
            self.assertFalse([n for n in needed if n.startswith(("libstdc++", "libm."))], needed)

    @unittest.skipUnless(BUILD and shutil.which("cpack") and shutil.which("dpkg-deb"),
                         "needs the build directory, cpack and dpkg-deb")
    def test_debian_package(self):
        r = subprocess.run(["cpack", "-G", "DEB", "--config",
                            os.path.join(BUILD, "CPackConfig.cmake"), "-B", self.dir],
                           capture_output=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        debs = [f for f in os.listdir(self.dir) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1)
        deb = os.path.join(self.dir, debs[0])

        info = subprocess.run(["dpkg-deb", "-I", deb], capture_output=True, check=True).stdout
        depends = re.search(rb"(?m)^ Depends: (.*)$", info).group(1).decode()
        names = [d.split()[0] for d in depends.split(", ")]
        self.assertIn("libmrss0", names)
        self.assertIn("libcurl3-gnutls", names)  # the one libcurl, as libnxml loads it
        self.assertNotIn("libcurl4", names)
        self.assertIn(b" Package: wavelot\n", info)
        self.assertIn(b" Version: 0.4.0\n", info)

        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True,
                                 check=True).stdout.decode()
        files = [line.split()[-1] for line in listing.splitlines()]
        self.assertIn("./usr/bin/wavelot", files)
        self.assertIn("./usr/share/man/man1/wavelot.1", files)

        # The packaged binary is the one we built.
        unpacked = os.path.join(self.dir, "root")
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        r = subprocess.run([os.path.join(unpacked, "usr/bin/wavelot"), "--version"],
                           capture_output=True)
        self.assertEqual(r.stdout, b"wavelot 0.4.0, wrote by the wavelot developers\n")

    @unittest.skipUnless(shutil.which("systemd-analyze"), "needs systemd-analyze")
    def test_user_units_verify(self):
        units = os.path.join(ROOT, "contrib", "systemd")
        with open(os.path.join(units, "wavelot.service")) as f:
            service = f.read()
        self.assertIn("ExecStart=/usr/bin/wavelot ", service)
        # Verified against the built binary, since none is installed here.
        self.write("wavelot.service", service.replace("/usr/bin/wavelot",
                                                      os.path.abspath(WAVELOT)))
        shutil.copy(os.path.join(units, "wavelot.timer"), self.dir)
        with open(os.path.join(units, "wavelot.timer")) as f:
            timer = f.read()
        self.assertIn("Persistent=true", timer)
        self.assertIn("OnCalendar=daily", timer)
        runtime = os.path.join(self.dir, "runtime")
        os.mkdir(runtime, 0o700)
        r = subprocess.run(["systemd-analyze", "--user", "verify", "--man=no",
                            os.path.join(self.dir, "wavelot.service"),
                            os.path.join(self.dir, "wavelot.timer")],
                           capture_output=True, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, b""))


if __name__ == "__main__":
    unittest.main()
