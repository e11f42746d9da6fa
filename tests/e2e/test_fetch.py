"""Phase one on a network: the feeds of a list fetched together and scanned
in list order, and what a slow, endless, looping or dead feed does to a run."""

import gzip
import os
import time
import unittest

from harness import (SANITIZED, Case, Response, closed_port, item, rss, run, run_measured,
                     warning)

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"


class Fetch(Case):
    def test_feeds_answered_in_reverse_order_give_the_one_after_another_trace(self):
        srv = self.server()
        feeds = [
            ("/good.xml", Response(rss([
                item("one", enclosure=srv.url("/e/1.mp3?x=1"), pubdate=DATE),
                item("undated", enclosure=srv.url("/e/2.mp3"))]))),
            ("/missing.xml", Response(b"no such page", status=404)),
            ("/notxml", Response("just some text")),
            ("/last.xml", Response(rss([item("three", enclosure=srv.url("/e/3.mp3"),
                                             pubdate=DATE)]))),
        ]
        paths = [path for path, _ in feeds]

        def late(i, response):
            def answer(handler):
                if i == 0:
                    # Fetched one after another, the first feed would be
                    # answered before the others were asked for.
                    deadline = time.time() + 10
                    while not set(paths) <= set(srv.paths()) and time.time() < deadline:
                        time.sleep(0.01)
                    if not set(paths) <= set(srv.paths()):
                        return Response("fetched one after another")
                response.late = (len(feeds) - 1 - i) * 0.3  # the first answers last
                return response
            return answer

        for i, (path, response) in enumerate(feeds):
            srv.routes[path] = late(i, response)
        cfg, refused = self.failing_feeds_list(srv)
        r = run(["-v", "-c", cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(), "".join([
            "Debug : Parse feed %s\n" % srv.url("/good.xml"),
            "Debug :    - URL %s\n" % srv.url("/e/1.mp3?x=1"),
            warning("Invalide empty date"),
            "Debug :    - URL %s\n" % srv.url("/e/2.mp3"),
            "Debug : Parse feed %s\n" % refused,
            warning("Download error ", "Connection refused"),
            "Debug : Parse feed %s\n" % srv.url("/missing.xml"),
            warning("Parser error ", "Bad message"),  # the 404 page is not a feed
            "Debug : Parse feed %s\n" % srv.url("/notxml"),
            warning("Parser error ", "Bad message"),
            "Debug : Parse feed %s\n" % srv.url("/last.xml"),
            "Debug :    - URL %s\n" % srv.url("/e/3.mp3"),
            "Debug : downloading file : %s\n" % srv.url("/e/1.mp3?x=1"),
            "Debug : downloading file : %s\n" % srv.url("/e/2.mp3"),
            "Debug : downloading file : %s\n" % srv.url("/e/3.mp3"),
        ]))
        self.assertEqual(self.files(), ["1.mp3", "2.mp3", "3.mp3"])
        # No episode was asked for before every feed was in.
        self.assertEqual(sorted(srv.paths()[:4]), sorted(paths))

    def test_endless_feed_fails_and_the_feeds_after_it_are_fetched(self):
        srv = self.server()
        srv.routes["/endless.xml"] = Response(b"<rss version='2.0'><channel>" + b" " * 65536,
                                              action="endless")
        srv.routes["/after.xml"] = Response(rss([item("ep", enclosure=srv.url("/ep.mp3"),
                                                      pubdate=DATE)]))
        srv.routes["/ep.mp3"] = Response(b"the episode")
        cfg = self.list_file(srv.url("/endless.xml"), srv.url("/after.xml"))
        status, said, peak_kib = run_measured(["-c", cfg, "-o", self.out])
        self.assertEqual(status, 0)
        self.assertEqual(said.decode(), warning("Download error ", "File too large"))
        self.assertEqual(self.read("ep.mp3"), b"the episode")
        if not SANITIZED:  # a document is held to 64 MiB, and so is the run
            self.assertLess(peak_kib, 160 * 1024)

    def test_redirect_loop_and_redirect_off_the_web_fail_cleanly(self):
        srv = self.server()
        srv.routes["/loop.xml"] = Response(status=302, headers={"Location": "/loop.xml"})
        srv.routes["/to-file.xml"] = Response(status=302,
                                              headers={"Location": "file:///etc/passwd"})
        srv.routes["/ep.mp3"] = Response(b"from a local feed")
        # The list's own file:// feeds are the user's, and are read.
        local = self.write("local.xml", rss([item("local", enclosure=srv.url("/ep.mp3"),
                                                  pubdate=DATE)]))
        cfg = self.list_file(srv.url("/loop.xml"), srv.url("/to-file.xml"), "file://" + local)
        r = run(["-c", cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(),
                         warning("Download error ", "Too many levels of symbolic links") +
                         warning("Download error ", "Protocol not supported"))
        self.assertLessEqual(srv.paths().count("/loop.xml"), 21)
        self.assertEqual(self.read("ep.mp3"), b"from a local feed")

    def test_gzip_encoded_feed_is_read(self):
        srv = self.server()
        xml = rss([item("zipped", enclosure=srv.url("/z.mp3"), pubdate=DATE)]).encode()

        def answer(handler):
            if "gzip" not in handler.headers.get("Accept-Encoding", ""):
                return Response(b"gzip was not offered")
            return Response(gzip.compress(xml), headers={"Content-Encoding": "gzip"})

        srv.routes["/feed.xml"] = answer
        srv.routes["/z.mp3"] = Response(b"zzz")
        r = run(["-c", self.list_file(srv.url("/feed.xml")), "-o", self.out])
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.read("z.mp3"), b"zzz")

    def test_thousands_of_dead_lines_warn_in_order_in_bounded_memory(self):
        port = closed_port()
        peaks = {}
        for n in (300, 3000):
            urls = ["http://127.0.0.1:%d/%d.xml" % (port, i) for i in range(n)]
            cfg = self.write("dead-%d.cfg" % n, "".join(u + "\n" for u in urls))
            status, said, peaks[n] = run_measured(["-v", "-c", cfg, "-o", self.out])
            self.assertEqual(status, 0)
            self.assertEqual(said.decode(), "".join(
                "Debug : Parse feed %s\n" % u + warning("Download error ", "Connection refused")
                for u in urls))
        if not SANITIZED:  # a window of fetches: ten times the lines, the same memory
            self.assertLess(peaks[3000] - peaks[300], 8 * 1024)


if __name__ == "__main__":
    unittest.main()
