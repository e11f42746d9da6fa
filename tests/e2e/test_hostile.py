"""Hostile feeds and list files, end to end: every run exits 0 with clear
warnings and writes nothing outside the target directory."""

import os
import shutil
import subprocess
import unittest

from harness import Case, Response, item, plain_env, rss, run, warning

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"


def netns_usable():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    return subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode == 0


class Hostile(Case):
    def tree(self):
        """Every path under the scratch directory, but the target's own."""
        found = set()
        for top, dirs, files in os.walk(self.dir):
            if top.startswith(self.out):
                continue
            found.update(os.path.relpath(os.path.join(top, f), self.dir) for f in dirs + files)
        return found

    def run_feed(self, feed_xml, *options):
        srv = self.server()
        srv.routes["/feed.xml"] = Response(feed_xml)
        cfg = self.list_file(srv.url("/feed.xml"))
        before = self.tree()
        r = run(list(options) + ["-c", cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        self.assertEqual(self.tree(), before)
        return r.stderr.decode("utf-8", "replace")

    def test_oversized_texts(self):
        srv = self.server()
        srv.routes["/ok.mp3"] = Response(b"ok")
        long_url = srv.url("/" + "u" * 10000 + ".mp3")
        said = self.run_feed(rss([
            item("t" * 10000, enclosure=srv.url("/a.mp3"), pubdate=DATE),
            item("long url", enclosure=long_url, pubdate=DATE),
            item("long category", enclosure=srv.url("/ok.mp3"), pubdate=DATE,
                 categories=["c" * 10000, "d" * 10000])]), "-i")
        self.assertEqual(said, warning("The title  string is too long : " + srv.url("/a.mp3")) +
                         warning("The URL string is too long : " + long_url))
        self.assertEqual(self.files(), ["ok.mp3", "ok.mp3.info"])
        self.assertIn(b"\nTags : " + b"c" * 254 + b";\nDate : ", self.read("ok.mp3.info"))

    def test_format_directives_in_feed_texts_are_plain_text(self):
        srv = self.server()
        srv.routes["/%n%s%x.mp3"] = Response(b"odd")
        url = srv.url("/%n%s%x.mp3")
        said = self.run_feed(rss([
            item("%n%s%s%s", enclosure=url, pubdate="%n%s %s", categories=["%s%n"]),
            item("%s%n no url")]), "-v", "-i")
        self.assertIn("Debug :    - URL %s\n" % url, said)
        self.assertIn(warning("Convert RFC822 '%n%s %s' to struct tm failed", "Invalid argument"),
                      said)
        self.assertIn(warning("The item has no URL : %s%n no url"), said)
        self.assertEqual(self.read("%n%s%x.mp3"), b"odd")
        self.assertEqual(self.read("%n%s%x.mp3.info"),
                         b"Filename : %n%s%x.mp3\nTitle : %n%s%s%s\nTags : %s%n;\n"
                         b"Date : Thu Jan  1 00:00:00 1970\n")

    def test_fifty_thousand_items(self):
        srv = self.server()
        srv.routes["/same.mp3"] = Response(b"one file")
        items = [item("item %d" % i, enclosure=srv.url("/same.mp3"), pubdate=DATE)
                 for i in range(50000)]
        said = self.run_feed(rss(items), "-v")
        self.assertEqual(said.count("Debug :    - URL "), 50000)
        self.assertEqual(said.count("Debug : skip file (exist) : "), 49999)
        self.assertEqual(srv.paths().count("/same.mp3"), 1)
        self.assertEqual(self.files(), ["same.mp3"])

    def test_deeply_nested_elements(self):
        nested = "<x>" * 100000 + "</x>" * 100000
        said = self.run_feed(rss([nested, item("a", enclosure="http://h/a.mp3", pubdate=DATE)]))
        self.assertRegex(said, r"^wavelot: Parser error : [^\n]*\n$")
        self.assertEqual(self.files(), [])

    @unittest.skipUnless(netns_usable(), "needs root and unshare -n, so that no piece of the "
                         "line can make a request off this machine")
    def test_ten_megabyte_list_line(self):
        # In a network namespace of its own, with not even a loopback up:
        # whatever the pieces of the line name, nothing can be reached.
        cfg = self.write("list.cfg", "x" * (10 << 20) + "\n")
        before = self.tree()
        r = subprocess.run(["unshare", "-n", os.environ["WAVELOT"], "-c", cfg, "-o", self.out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=900,
                           env=plain_env())
        self.assertEqual(r.returncode, 0)
        lines = r.stderr.decode().splitlines()
        pieces = -(-((10 << 20) + 1) // 1023)  # 1023 bytes a piece, the line end included
        self.assertEqual(len(lines), pieces)
        self.assertTrue(all(l.startswith("wavelot: Download error : ") for l in lines))
        self.assertEqual(self.tree(), before)
        self.assertEqual(self.files(), [])


if __name__ == "__main__":
    unittest.main()
