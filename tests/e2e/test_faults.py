"""Under faults: each of the program's own file calls failing in turn, the
program killed at any moment, and feed text on a terminal. A file under an
episode's name is always the whole episode, and with -i it always stands
beside its whole info file, unless the run warned that the info file could
not be written."""

import errno
import os
import pty
import random
import signal
import subprocess
import time
import unittest

from harness import (SANITIZED, WAVELOT, Case, Response, item, plain_env, rss, run,
                     warning)

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"
SHIM = os.environ.get("WAVELOT_SHIM", "")

# The own calls of the program that can fail, and how they fail.
FAULTS = {
    "open": [errno.EIO], "fopen": [errno.EIO], "fdopen": [errno.ENOMEM],
    "fwrite": [errno.ENOSPC], "fprintf": [errno.ENOSPC], "fflush": [errno.ENOSPC],
    "fsync": [errno.EIO], "close": [errno.EIO], "fclose": [errno.ENOSPC],
    "ftruncate": [errno.EIO], "flock": [errno.ENOLCK, errno.EWOULDBLOCK], "dup": [errno.EMFILE],
    "rename": [errno.EIO], "remove": [errno.EIO],
}


def info_text(name, title):
    return ("Filename : %s\nTitle : %s\nTags : \nDate : Tue Jun 10 04:00:00 2003\n"
            % (name, title)).encode()


class Episodes(Case):
    """A feed of a few episodes, and the invariants of the target directory."""

    def serve(self, size=60000, **response):
        srv = self.server()
        self.bodies = {}
        items = []
        for n in range(3):
            name = "ep%d.mp3" % n
            self.bodies[name] = bytes([65 + n]) * size + b"end of %d" % n
            srv.routes["/" + name] = Response(self.bodies[name], **response)
            items.append(item("title %d" % n, enclosure=srv.url("/" + name), pubdate=DATE))
        srv.routes["/feed.xml"] = Response(rss(items))
        self.cfg = self.list_file(srv.url("/feed.xml"))

    def warned_without_info(self, said):
        """The episodes that the run said would go without an info file."""
        names = set()
        for name in self.bodies:
            target = os.path.join(self.out, name)
            if ("Can't create file %s\n" % target in said or
                    "Can't write file : %s.info\n" % target in said):
                names.add(name)
        return names

    def torn(self, without_info=frozenset()):
        """What breaks the promise: an episode in place that is not whole,
        or that lacks its whole info file (unless it is one of
        `without_info`)."""
        files = set(self.files())
        found = []
        for name, body in self.bodies.items():
            if name not in files:
                continue
            if self.read(name) != body:
                found.append(name)
            n = int(name[2])
            if name not in without_info and (name + ".info" not in files or self.read(
                    name + ".info") != info_text(name, "title %d" % n)):
                found.append(name + ".info")
        return found

    def check(self, said, without_info=frozenset()):
        self.assertEqual(self.torn(without_info), [], said)

    def complete(self, without_info=frozenset()):
        """A clean run afterwards mends everything."""
        r = run(["-i", "-c", self.cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(set(self.bodies) <= set(self.files()))
        self.check(r.stderr.decode(), without_info)
        for name in without_info:
            self.assertNotIn(name + ".info", self.files())


class Terminal(Case):
    def test_feed_text_is_escaped_on_a_terminal_and_raw_elsewhere(self):
        title = "\x1b]0;owned\x07\x1b[2J"
        srv = self.server()
        srv.routes["/feed.xml"] = Response(rss([item(title, pubdate=DATE)]))
        cfg = self.list_file(srv.url("/feed.xml"))

        master, slave = pty.openpty()
        env = plain_env()
        env["TZ"] = "UTC"
        proc = subprocess.Popen([WAVELOT, "-c", cfg, "-o", self.out], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=slave, env=env)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the program has gone
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertEqual(shown.replace(b"\r\n", b"\n"),
                         b"wavelot: The item has no URL : \\x1b]0;owned\\x07\\x1b[2J: Success\n")

        r = run(["-c", cfg, "-o", self.out])  # into a pipe: the bytes as they are
        self.assertEqual(r.stderr, warning("The item has no URL : " + title).encode())


@unittest.skipUnless(SHIM and not SANITIZED, "needs the preload shim, which a sanitizer "
                     "runtime will not run beside")
class FileCalls(Episodes):
    def shimmed(self, **env):
        environment = {"LD_PRELOAD": SHIM, "WAVELOT_SHIM_LOG": os.path.join(self.dir, "shim.log")}
        environment.update(env)
        return run(["-i", "-c", self.cfg, "-o", self.out], env=environment)

    def acted(self):
        path = os.path.join(self.dir, "shim.log")
        acted = os.path.exists(path) and os.path.getsize(path) > 0
        if os.path.exists(path):
            os.remove(path)
        return acted

    def test_every_file_call_failing_in_turn(self):
        self.serve()
        runs = injected = deaths = torn = 0
        for fn, codes in sorted(FAULTS.items()):
            for code in codes:
                n = 1
                while True:
                    for name in os.listdir(self.out):
                        os.remove(os.path.join(self.out, name))
                    r = self.shimmed(WAVELOT_FAIL="%s:%d:%d" % (fn, n, code))
                    runs += 1
                    if not self.acted():
                        break
                    injected += 1
                    said = r.stderr.decode()
                    warned = self.warned_without_info(said)
                    deaths += r.returncode < 0
                    torn += len(self.torn(warned))
                    with self.subTest(fail="%s:%d:%s" % (fn, n, errno.errorcode[code])):
                        self.assertGreaterEqual(r.returncode, 0, said)  # no signal
                        self.check(said, warned)
                        self.complete(warned)
                    n += 1
        print("\nfile calls: %d runs, %d failures injected, %d deaths by signal, %d torn files"
              % (runs, injected, deaths, torn))
        self.assertGreater(injected, 40)

    def test_kill_between_info_file_and_rename_is_mended(self):
        self.serve()
        r = self.shimmed(WAVELOT_KILL="rename:1")
        self.assertEqual(r.returncode, -signal.SIGKILL)
        self.assertEqual(sorted(self.files()), ["ep0.mp3.info", "ep0.mp3.part"])
        self.assertEqual(self.read("ep0.mp3.info"), info_text("ep0.mp3", "title 0"))
        self.assertEqual(self.read("ep0.mp3.part"), self.bodies["ep0.mp3"])
        self.complete()
        self.assertEqual(sorted(self.files()),
                         sorted(n + s for n in self.bodies for s in ("", ".info")))


class Kills(Episodes):
    def test_killed_at_random_moments(self):
        # Bodies that take a while (0.2 s each), so that kills land in
        # transfers, in the syncs and between the files.
        self.serve(size=200000, chunk=10000, delay=0.01)
        rnd = random.Random(20261210)
        runs = kills = torn = 0
        for group in range(10):
            for name in os.listdir(self.out):
                os.remove(os.path.join(self.out, name))
            for _ in range(3):
                proc = subprocess.Popen([WAVELOT, "-i", "-c", self.cfg, "-o", self.out],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=dict(plain_env(), TZ="UTC"))
                time.sleep(rnd.uniform(0.0, 0.6))
                proc.send_signal(signal.SIGKILL)
                _, said = proc.communicate(timeout=60)
                runs += 1
                kills += proc.returncode == -signal.SIGKILL
                torn += len(self.torn())
                self.check(said.decode())
            self.complete()
        print("\nkills: %d runs, %d killed before their end, %d torn files" % (runs, kills, torn))
        self.assertGreater(kills, runs // 3)


if __name__ == "__main__":
    unittest.main()
