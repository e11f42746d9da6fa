"""Episode downloads against a scripted server on 127.0.0.1: the target
directory's entries (name, name.part, name.info) after every outcome."""

import os
import resource
import shlex
import shutil
import signal
import subprocess
import time
import unittest

from harness import WAVELOT, Case, Response, item, plain_env, rss, run, warning

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"
NO_DATE = warning("Invalide empty date")


def limited(size):
    """Files of at most `size` bytes for the program, as a full disk would."""
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return preexec


class Download(Case):
    def feed(self, *episodes):
        """Serves a feed of (path, response) episodes; returns the list file."""
        srv = self.server()
        items = []
        for path, response in episodes:
            if response is not None:
                srv.routes[path] = response
            items.append(item("title of " + path, enclosure=srv.url(path), pubdate=DATE))
        srv.routes["/feed.xml"] = Response(rss(items))
        return self.list_file(srv.url("/feed.xml"))

    def episode_requests(self):
        return [p for p in self.server().paths() if p != "/feed.xml"]

    def wavelot(self, cfg, *options, **kwargs):
        return run(list(options) + ["-c", cfg, "-o", self.out], **kwargs)

    def test_download_info_file_and_second_run_skips(self):
        srv = self.server()
        body = bytes(range(256)) * 4096 * 3 + b"\0\0end"  # 3 MiB with NUL bytes
        srv.routes["/e/big.bin"] = Response(body)
        srv.routes["/e/bare.mp3"] = Response(b"bare")
        srv.routes["/feed.xml"] = Response(rss([
            item("Big one", enclosure=srv.url("/e/big.bin?token=1"), pubdate=DATE,
                 categories=["news", "tech"]),
            item(None, enclosure=srv.url("/e/bare.mp3"))]))
        cfg = self.list_file(srv.url("/feed.xml"))

        r = self.wavelot(cfg, "-i", "-i")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(), NO_DATE)
        self.assertEqual(self.files(), ["bare.mp3", "bare.mp3.info", "big.bin", "big.bin.info"])
        self.assertEqual(self.read("big.bin"), body)
        self.assertEqual(self.read("big.bin.info"),
                         b"Filename : big.bin\nTitle : Big one\nTags : news;tech;\n"
                         b"Date : Tue Jun 10 04:00:00 2003\n")
        # No title, no tags, date 0: the epoch in local time (TZ=UTC).
        self.assertEqual(self.read("bare.mp3.info"),
                         b"Filename : bare.mp3\nTitle : \nTags : \nDate : Thu Jan  1 00:00:00 1970\n")
        # Episode requests carry the user agent too.
        self.assertEqual(sorted(srv.requests), [("/e/bare.mp3", "wavelot/0.4.0"),
                                                 ("/e/big.bin?token=1", "wavelot/0.4.0"),
                                                 ("/feed.xml", "wavelot/0.4.0")])

        os.remove(os.path.join(self.out, "bare.mp3.info"))
        before = len(srv.requests)
        r = self.wavelot(cfg, "-i", "-v")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode().splitlines()[-2:], [
            "Debug : skip file (exist) : %s" % srv.url("/e/big.bin?token=1"),
            "Debug : skip file (exist) : %s" % srv.url("/e/bare.mp3")])
        self.assertEqual(srv.paths()[before:], ["/feed.xml"])  # no episode request
        self.assertEqual(self.files(), ["bare.mp3", "big.bin", "big.bin.info"])

    def test_failed_transfers_leave_only_the_part_file(self):
        srv = self.server()
        srv.routes["/loop"] = Response(status=302, headers={"Location": "/loop"})
        srv.routes["/to-file"] = Response(status=302, headers={"Location": "file:///etc/passwd"})
        cases = [
            # path, response, curl code, part file contents
            ("/e/404.mp3", Response(b"not found page", status=404), 22, b""),
            ("/e/500.mp3", Response(b"server error page", status=500), 22, b""),
            ("/e/short.mp3", Response(b"x" * 5000, action="short"), 18, b"x" * 5000),
            ("/e/reset.mp3", Response(b"y" * 100000, action="reset", headers={
                "Content-Length": "1000000"}), None, None),
            ("/loop", None, 47, b""),
            ("/to-file", None, 1, b""),
        ]
        cfg = self.feed(*[(path, response) for path, response, _, _ in cases])
        r = self.wavelot(cfg)
        self.assertEqual(r.returncode, 0)
        lines = r.stderr.decode().splitlines(True)
        self.assertEqual(len(lines), len(cases))
        for line, (path, _, code, part) in zip(lines, cases):
            name = os.path.basename(path)
            with self.subTest(path):
                if code is None:  # a reset: 18 or 56, as the kernel delivers it
                    self.assertRegex(line, r"^wavelot: Error (18|56) downloading file : %s: "
                                     % srv.url(path))
                else:
                    self.assertTrue(line.startswith("wavelot: Error %d downloading file : %s: "
                                                    % (code, srv.url(path))), line)
                self.assertNotIn(name, self.files())
                self.assertIn(name + ".part", self.files())
                if part is not None:
                    self.assertEqual(self.read(name + ".part"), part)
        self.assertEqual(self.files(), sorted(os.path.basename(c[0]) + ".part" for c in cases))
        self.assertLessEqual(srv.paths().count("/loop"), 21)

        # The next run tries every one of them again.
        before = len(srv.requests)
        self.wavelot(cfg)
        self.assertEqual(sorted(set(srv.paths()[before:]) - {"/feed.xml"}),
                         sorted(c[0] for c in cases))

    def test_redirect_chain_saves_the_final_body(self):
        srv = self.server()
        srv.routes["/r1"] = Response(status=301, headers={"Location": "/r2"})
        srv.routes["/r2"] = Response(status=302, headers={"Location": srv.url("/r3")})
        srv.routes["/r3"] = Response(status=307, headers={"Location": "/final.mp3"})
        srv.routes["/final.mp3"] = Response(b"the episode")
        r = self.wavelot(self.feed(("/ep/r1", Response(status=302, headers={"Location": "/r1"}))))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.files(), ["r1"])
        self.assertEqual(self.read("r1"), b"the episode")

    def test_only_http_and_https_are_fetched(self):
        secret = self.write("secret", "not for feeds")
        srv = self.server()
        srv.routes["/feed.xml"] = Response(rss([
            item("a", enclosure="file://" + secret, pubdate=DATE),
            item("b", enclosure="ftp://127.0.0.1:1/x.mp3", pubdate=DATE),
            item("c", enclosure="scp://127.0.0.1:1/y.mp3", pubdate=DATE)]))
        r = self.wavelot(self.list_file(srv.url("/feed.xml")))
        lines = r.stderr.decode().splitlines()
        self.assertEqual(len(lines), 3)
        for line, url in zip(lines, ["file://" + secret, "ftp://127.0.0.1:1/x.mp3",
                                     "scp://127.0.0.1:1/y.mp3"]):
            self.assertTrue(line.startswith("wavelot: Error 1 downloading file : %s: " % url))
        self.assertEqual(self.read("secret.part"), b"")
        self.assertNotIn("secret", self.files())

    def test_refused_connection_and_same_name_twice(self):
        srv = self.server()
        srv.routes["/a/same.mp3"] = Response(b"first")
        srv.routes["/b/same.mp3"] = Response(b"second")
        closed = "http://127.0.0.1:1/gone.mp3"
        srv.routes["/feed.xml"] = Response(rss([
            item("gone", enclosure=closed, pubdate=DATE),
            item("a", enclosure=srv.url("/a/same.mp3"), pubdate=DATE),
            item("b", enclosure=srv.url("/b/same.mp3"), pubdate=DATE),
            item("dir", enclosure=srv.url("/a/dir/"), pubdate=DATE)]))
        # A final '/' on -o doubles the slash in every path; same files.
        r = run(["-v", "-c", self.list_file(srv.url("/feed.xml")), "-o", self.out + "/"])
        lines = [l for l in r.stderr.decode().splitlines() if "downloading" in l or "skip" in l
                 or l.startswith("wavelot:")]
        self.assertEqual(lines[:2], ["Debug : downloading file : " + closed,
                                     "wavelot: Error 7 downloading file : %s: Success" % closed])
        self.assertEqual(lines[2:], [
            "Debug : downloading file : " + srv.url("/a/same.mp3"),
            "Debug : skip file (exist) : " + srv.url("/b/same.mp3"),
            # The empty name is the target directory itself, which is readable.
            "Debug : skip file (exist) : " + srv.url("/a/dir/")])
        self.assertEqual(self.files(), ["gone.mp3.part", "same.mp3"])
        self.assertEqual(self.read("same.mp3"), b"first")

    def test_write_failures_are_caught_before_the_rename(self):
        big = self.feed(("/big.mp3", Response(b"z" * (3 << 20))))
        r = self.wavelot(big, preexec_fn=limited(64 << 10))
        self.assertEqual(r.stderr.decode(), "wavelot: Error 23 downloading file : %s: "
                         "File too large\n" % self.server().url("/big.mp3"))
        self.assertEqual(self.files(), ["big.mp3.part"])
        self.assertLessEqual(len(self.read("big.mp3.part")), 64 << 10)

        # A body small enough to sit in the stream's buffer fails only when
        # it is flushed: no transfer error, but no rename either.
        small = self.feed(("/small.mp3", Response(b"tiny")))
        r = self.wavelot(small, preexec_fn=limited(0))
        part = os.path.join(self.out, "small.mp3.part")
        self.assertEqual(r.stderr.decode(), "wavelot: Can't write file : %s\n: File too large\n"
                         % part)
        self.assertNotIn("small.mp3", self.files())
        self.assertEqual(self.read("small.mp3.part"), b"")

    def test_info_file_that_cannot_be_written(self):
        cfg = self.feed(("/a.mp3", Response(b"a")), ("/b.mp3", Response(b"b")))
        os.mkdir(os.path.join(self.out, "a.mp3.info"))
        # Room for an episode of one byte, not for an info file.
        r = self.wavelot(cfg, "-i", preexec_fn=limited(16))
        target_a = os.path.join(self.out, "a.mp3")
        info_b = os.path.join(self.out, "b.mp3.info")
        self.assertEqual(r.stderr.decode(),
                         "wavelot: Can't create file %s\n: Is a directory\n" % target_a +
                         "wavelot: Can't write file : %s\n: File too large\n" % info_b)
        self.assertEqual(self.read("a.mp3"), b"a")
        self.assertEqual(self.read("b.mp3"), b"b")
        self.assertNotIn("b.mp3.info", self.files())  # what was written of it is gone

    def test_links_planted_in_the_target_are_not_followed(self):
        cfg = self.feed(("/ep.mp3", Response(b"the episode")))
        victim = self.write("victim", "precious")
        target = os.path.join(self.out, "ep.mp3")
        cases = [
            # link, what the run says, its status, what is left
            ("ep.mp3.info", "wavelot: Can't create file %s\n: Too many levels of symbolic links\n"
             % target, 0, ["ep.mp3", "ep.mp3.info"]),
            ("ep.mp3.part", "wavelot: Can't create file : %s.part\n: Too many levels of symbolic "
             "links\n" % target, 40, ["ep.mp3.part"]),  # ELOOP
        ]
        for link, said, status, left in cases:
            with self.subTest(link):
                for name in os.listdir(self.out):
                    os.remove(os.path.join(self.out, name))
                os.symlink(victim, os.path.join(self.out, link))
                r = self.wavelot(cfg, "-i")
                self.assertEqual((r.returncode, r.stderr.decode()), (status, said))
                self.assertEqual(self.files(), left)
                self.assertTrue(os.path.islink(os.path.join(self.out, link)))
                with open(victim) as f:
                    self.assertEqual(f.read(), "precious")

    def test_target_paths_that_leave_no_room_for_the_suffixes(self):
        # Nested directories make a target directory of a chosen length.
        def directory_of_length(n):
            path = self.out
            while len(path) < n:
                step = min(200, n - len(path) - 1)
                path = os.path.join(path, "d" * max(step, 1))
                os.makedirs(path, exist_ok=True)
            self.assertEqual(len(path), n)
            return path

        cfg = self.feed(("/ep.mp3", Response(b"ok")))
        # "/ep.mp3" is 7 characters: 1011 + 7 = 1018 fits, 1012 + 7 = 1019 does not.
        fits = directory_of_length(1011)
        r = run(["-c", cfg, "-o", fits])
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(os.listdir(fits), ["ep.mp3"])

        too_long = directory_of_length(1012)
        r = run(["-c", cfg, "-o", too_long])
        self.assertNotEqual(r.returncode, 0)
        self.assertRegex(r.stderr.decode(), r"^wavelot: Filename is to long: ep\.mp3\n: [^\n]*\n$")
        self.assertEqual(os.listdir(too_long), [])

    def test_target_that_is_a_regular_file_ends_the_run(self):
        cfg = self.feed(("/one.mp3", Response(b"1")), ("/two.mp3", Response(b"2")))
        target = self.write("plain-file", "")
        r = run(["-c", cfg, "-o", target])
        self.assertEqual(r.returncode, 20)  # ENOTDIR
        self.assertEqual(r.stderr.decode(),
                         "wavelot: Can't create file : %s/one.mp3.part\n: Not a directory\n"
                         % target)
        self.assertEqual(self.episode_requests(), [])

    def test_overlapping_runs_leave_the_file_intact(self):
        body = b"".join(b"%08d" % i for i in range(40000))  # 320 kB, 20 chunks 0.1 s apart
        cfg = self.feed(("/slow.mp3", Response(body, chunk=16000, delay=0.1)))
        env = plain_env()
        first = subprocess.Popen([WAVELOT, "-v", "-c", cfg, "-o", self.out], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 30
        while "/slow.mp3" not in self.server().paths() and time.time() < deadline:
            time.sleep(0.01)
        second = run(["-v", "-c", cfg, "-o", self.out])
        first.communicate(timeout=60)
        self.assertEqual((first.returncode, second.returncode), (0, 0))
        self.assertIn(b"Debug : skip file (in progress) : " +
                      self.server().url("/slow.mp3").encode(), second.stderr)
        self.assertEqual(self.episode_requests(), ["/slow.mp3"])
        self.assertEqual(self.read("slow.mp3"), body)
        self.assertEqual(self.files(), ["slow.mp3"])

    @unittest.skipUnless(shutil.which("script"), "needs script(1) for a pseudo-terminal")
    def test_progress_line_only_on_a_terminal(self):
        body = b"p" * 200000
        cfg = self.feed(("/shown.mp3", Response(body, chunk=20000, delay=0.05)))
        command = " ".join(shlex.quote(a) for a in [WAVELOT, "-c", cfg, "-o", self.out])
        env = plain_env()
        r = subprocess.run(["script", "-qec", command, "/dev/null"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=60)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"\r\033[Kshown.mp3  ", r.stdout)
        self.assertIn(b"of 200000 bytes (100%)", r.stdout)
        self.assertRegex(r.stdout, rb"KiB/s\r\033\[K")  # erased at the end
        self.assertEqual(self.read("shown.mp3"), body)

        os.remove(os.path.join(self.out, "shown.mp3"))
        r = self.wavelot(cfg)  # standard error is a pipe here
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("shown.mp3"), body)


if __name__ == "__main__":
    unittest.main()
