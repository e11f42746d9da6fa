"""What a user installs: the man page, the Debian package, the user units."""

import os
import re
import shutil
import socket
import stat
import subprocess
import unittest

from harness import SANITIZED, WAVELOT, Case, Response, item, plain_env, rss

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
UNIT_FILTER = os.environ.get("WAVELOT_UNIT_FILTER", "")
DATE = "Tue, 10 Jun 2003 04:00:00 GMT"


def system_call_group(name, seen=None):
    """The system calls of a systemd group such as @system-service, nested
    groups expanded."""
    seen = set() if seen is None else seen
    if not name.startswith("@"):
        return {name}
    if name in seen:
        return set()
    seen.add(name)
    listing = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager", name],
                             capture_output=True, check=True, text=True).stdout
    calls = set()
    for line in listing.splitlines()[1:]:
        word = line.strip()
        if word and not word.startswith("#"):
            calls |= system_call_group(word, seen)
    return calls


def unit_system_calls(unit):
    """What a unit's SystemCallFilter= lines allow, as systemd reads them:
    the first allow list, less the ~ lists, plus the later allow lists."""
    allowed = None
    for line in re.findall(r"(?m)^SystemCallFilter=(.*)$", unit):
        deny = line.startswith("~")
        calls = set()
        for word in line.lstrip("~").split():
            calls |= system_call_group(word)
        if allowed is None:
            assert not deny, "the unit's filter starts with an allow list"
            allowed = calls
        elif deny:
            allowed -= calls
        else:
            allowed |= calls
    return allowed


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

    @unittest.skipUnless(
        not SANITIZED and os.path.isdir(os.path.join(ROOT, ".git")) and
        all(shutil.which(t) for t in ("git", "dpkg-buildpackage", "lintian", "dpkg-deb", "readelf")),
        "needs a git checkout, dpkg-buildpackage, lintian and readelf (and the plain run, "
        "which builds the package once)")
    def test_debian_package(self):
        src = os.path.join(self.dir, "src")
        os.mkdir(src)
        tree = subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", "HEAD"],
                              capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=tree, check=True)
        r = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=src, capture_output=True,
                           env=dict(plain_env(), DEB_BUILD_OPTIONS="parallel=2"), timeout=1800)
        self.assertEqual(r.returncode, 0, (r.stdout[-4000:] + r.stderr[-4000:]).decode())
        found = sorted(f for f in os.listdir(self.dir) if f.endswith((".deb", ".changes")))
        self.assertEqual(found, ["wavelot-dbgsym_0.4.0_amd64.deb", "wavelot_0.4.0_amd64.changes",
                                 "wavelot_0.4.0_amd64.deb"])
        deb = os.path.join(self.dir, "wavelot_0.4.0_amd64.deb")

        r = subprocess.run(["lintian", "--fail-on", "error,warning",
                            os.path.join(self.dir, "wavelot_0.4.0_amd64.changes")],
                           capture_output=True, text=True)
        print("\nlintian: %r" % r.stdout)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertFalse(re.search(r"(?m)^[EW]: ", r.stdout), r.stdout)

        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, check=True,
                                 text=True).stdout
        files = [line.split()[-1] for line in listing.splitlines()]
        for path in ("./usr/bin/wavelot", "./usr/share/man/man1/wavelot.1.gz",
                     "./usr/share/doc/wavelot/copyright", "./usr/lib/systemd/user/wavelot.service",
                     "./usr/lib/systemd/user/wavelot.timer"):
            self.assertIn(path, files)
        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                                 check=True, text=True).stdout.strip()
        print("Depends: %s" % depends)
        names = [d.split()[0] for d in depends.split(", ")]
        for name in ("libc6", "libcurl3-gnutls", "libmrss0", "libseccomp2"):
            self.assertIn(name, names)
        self.assertNotIn("libcurl4", names)

        unpacked = os.path.join(self.dir, "root")
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        binary = os.path.join(unpacked, "usr/bin/wavelot")
        sections = subprocess.run(["readelf", "-S", binary], capture_output=True, check=True,
                                  text=True).stdout
        self.assertNotIn(".symtab", sections)  # stripped, the symbols are in -dbgsym
        self.assertNotIn(".debug_info", sections)
        r = subprocess.run([binary, "--version"], capture_output=True)
        self.assertEqual(r.stdout, b"wavelot 0.4.0, wrote by the wavelot developers\n")

        # The timer is installed, not enabled: only a user's earlier choice
        # is restored on upgrade.
        control = os.path.join(self.dir, "control")
        subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
        with open(os.path.join(control, "postinst")) as f:
            postinst = f.read()
        self.assertEqual(postinst.count("--user enable"), postinst.count("was-enabled"))

    def units(self):
        """The units, with ExecStart pointing at the built binary (verify
        insists that it exists): the service's path and its text."""
        units = os.path.join(ROOT, "contrib", "systemd")
        with open(os.path.join(units, "wavelot.service")) as f:
            service = f.read()
        self.assertIn("ExecStart=/usr/bin/wavelot ", service)
        path = self.write("wavelot.service", service.replace("/usr/bin/wavelot",
                                                             os.path.abspath(WAVELOT)))
        shutil.copy(os.path.join(units, "wavelot.timer"), self.dir)
        return path, service

    @unittest.skipUnless(shutil.which("systemd-analyze"), "needs systemd-analyze")
    def test_user_units_verify_and_the_service_is_confined(self):
        service, text = self.units()
        with open(os.path.join(self.dir, "wavelot.timer")) as f:
            timer = f.read()
        self.assertIn("Persistent=true", timer)
        self.assertIn("OnCalendar=daily", timer)
        runtime = os.path.join(self.dir, "runtime")
        os.mkdir(runtime, 0o700)
        r = subprocess.run(["systemd-analyze", "--user", "verify", "--man=no", service,
                            os.path.join(self.dir, "wavelot.timer")],
                           capture_output=True, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, b""))

        r = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager",
                            os.path.join(ROOT, "contrib", "systemd", "wavelot.service")],
                           capture_output=True, text=True)
        level = re.search(r"Overall exposure level for wavelot.service: (\d+\.\d)", r.stdout)
        self.assertIsNotNone(level, r.stdout + r.stderr)
        print("\nsystemd-analyze security: %s" % level.group(1))
        self.assertLessEqual(float(level.group(1)), 2.0, r.stdout)
        # The directory that the service writes is the one it may write.
        target = re.search(r"(?m)^ExecStart=.* -o (\S+)", text).group(1)
        self.assertIn("\nReadWritePaths=%s\n" % target, text)
    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("bwrap") and
                         shutil.which("systemd-analyze") and UNIT_FILTER and not SANITIZED,
                         "needs root, bwrap, systemd-analyze and the unit_filter helper")
    def test_the_tool_works_inside_the_services_sandbox(self):
        # No systemd runs here: the service's sandbox is imposed by hand.
        # bwrap gives the read-only system with one writable directory,
        # private /tmp and /dev (with a /dev/log of the test's own), new
        # IPC and host name namespaces and no capabilities; unit_filter the
        # unit's system-call filter (expanded by systemd-analyze), its
        # address families, no writable and executable memory, and no new
        # privileges; the umask is the unit's.
        _, unit = self.units()
        allowed = self.write("allowed", "\n".join(sorted(unit_system_calls(unit))) + "\n")
        srv = self.server()
        srv.routes["/ep.mp3"] = Response(b"the episode")
        srv.routes["/feed.xml"] = Response(rss([
            item("ep", enclosure=srv.url("/ep.mp3"), pubdate=DATE),
            item("undated", enclosure=srv.url("/ep.mp3"))]))
        cfg = self.list_file(srv.url("/feed.xml"))
        log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        log.bind(os.path.join(self.dir, "log"))
        log.settimeout(5)
        self.addCleanup(log.close)
        umask = int(re.search(r"(?m)^UMask=(\d+)$", unit).group(1), 8)
        command = [
            "bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
            "--ro-bind", self.dir, self.dir, "--bind", self.out, self.out,
            # The programs may live under /tmp too, which is private now.
            "--ro-bind", WAVELOT, WAVELOT, "--ro-bind", UNIT_FILTER, UNIT_FILTER,
            "--bind", os.path.join(self.dir, "log"), "/dev/log",
            "--unshare-ipc", "--unshare-uts", "--new-session", "--die-with-parent",
            "--cap-drop", "ALL", "--",
            UNIT_FILTER, allowed, "--", WAVELOT, "-l", "-v", "-i", "-c", cfg, "-o", self.out]
        r = subprocess.run(command, capture_output=True, timeout=120, env=dict(plain_env(), TZ="UTC"),
                           preexec_fn=lambda: os.umask(umask))
        said = r.stderr.decode()
        self.assertEqual(r.returncode, 0, said)
        # The program's own confinement works inside the unit's.
        self.assertRegex(said, r"^Debug : confinement : Landlock ABI \d+, system-call filter\n")
        self.assertIn("Debug : downloading file : %s\n" % srv.url("/ep.mp3"), said)
        self.assertNotIn("wavelot:", said)  # warnings go to the log
        self.assertRegex(log.recv(4096).decode(), r"^<12>.*wavelot: Invalide empty date$")
        self.assertEqual(self.read("ep.mp3"), b"the episode")
        self.assertTrue(self.read("ep.mp3.info").startswith(b"Filename : ep.mp3\n"))
        for name in ("ep.mp3", "ep.mp3.info"):
            mode = stat.S_IMODE(os.stat(os.path.join(self.out, name)).st_mode)
            self.assertEqual(mode, 0o666 & ~umask, name)


if __name__ == "__main__":
    unittest.main()
