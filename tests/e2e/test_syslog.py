"""The system-log route, received for real on a datagram socket that the
program reaches as /dev/log inside a private mount namespace."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import WAVELOT, Case

HERE = os.path.dirname(os.path.abspath(__file__))
# glibc's framing: "<priority>Mmm dd hh:mm:ss ident: message".
ENTRY = re.compile(r"^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d wavelot: (.*)$", re.S)


def namespaces_usable():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    r = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return r.returncode == 0


@unittest.skipUnless(namespaces_usable(), "needs root and unshare -m for a private /dev/log")
class SystemLog(Case):
    def run_logged(self, *args):
        dev = tempfile.mkdtemp(dir=self.dir)
        out = subprocess.run(
            ["unshare", "-m", "--propagation", "private", sys.executable,
             os.path.join(HERE, "syslog_ns.py"), dev, WAVELOT] + list(args),
            stdout=subprocess.PIPE, check=True, timeout=120,
            env=dict(os.environ, TZ="UTC"))
        result = json.loads(out.stdout)
        entries = []
        for d in result["datagrams"]:
            m = ENTRY.match(d)
            self.assertIsNotNone(m, d)
            entries.append((int(m.group(1)), m.group(2)))
        return result["status"], result["stderr"], entries

    def test_fatal_error_goes_to_the_log_only_when_l_stood_before(self):
        missing = os.path.join(self.dir, "missing")
        status, stderr, entries = self.run_logged("-l", "-c", missing, "-o", self.out)
        self.assertEqual((status, stderr), (1, ""))
        self.assertEqual(entries, [(11, missing)])  # LOG_USER | LOG_ERR

        status, stderr, entries = self.run_logged("-c", missing, "-l", "-o", self.out)
        self.assertEqual(status, 1)
        self.assertEqual(stderr, "wavelot: %s: No such file or directory\n" % missing)
        self.assertEqual(entries, [])

    def test_warnings_to_the_log_and_debug_lines_stay_on_stderr(self):
        cfg = self.list_file("/nonexistent")
        status, stderr, entries = self.run_logged("-l", "-v", "-c", cfg, "-o", self.out)
        self.assertEqual(status, 0)
        self.assertRegex(stderr, r"^Debug : confinement : [^\n]*\nDebug : Parse feed /nonexistent\n$")
        self.assertEqual(entries, [(12, "Download error ")])  # LOG_USER | LOG_WARNING


if __name__ == "__main__":
    unittest.main()
