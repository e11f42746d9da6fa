"""Every feed of the real-world corpus, served over HTTP: the URLs queued
for each feed, in order, are exactly the ones its expected.tsv lists."""

import os
import unittest
import urllib.parse

from harness import CORPUS, Case, Response, run

# Where libmrss reads a feed otherwise than the XML says, by feed and item
# index: what libmrss queues instead (None: nothing), and why.
KNOWN_DIFFERENCES = {
}


def unescape(field):
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            out.append({"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}[field[i + 1]])
            i += 2
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


def read_tsv(name):
    with open(os.path.join(CORPUS, name), encoding="utf-8") as f:
        return [[unescape(x) for x in line.rstrip("\n").split("\t")]
                for line in f if not line.startswith("#")]


@unittest.skipUnless(CORPUS and os.path.isfile(os.path.join(CORPUS, "expected.tsv")),
                     "the real-world corpus is not here")
class Corpus(Case):
    def test_queued_urls_match_the_expected_ones(self):
        feeds = [row[0] for row in read_tsv("feeds.tsv")]
        expected = {feed: [] for feed in feeds}
        for feed, index, url, *_ in read_tsv("expected.tsv"):
            expected[feed].append((int(index), url))

        srv = self.server()
        urls = {}
        for feed in feeds:
            path = "/" + urllib.parse.quote(feed)
            with open(os.path.join(CORPUS, feed), "rb") as f:
                srv.routes[path] = Response(f.read(), headers={"Content-Type": "text/xml"})
            urls[srv.url(path)] = feed

        # A regular file as the target directory: the scan of every feed
        # completes, then the first download stops the run before any
        # request could leave this machine.
        target = self.write("not-a-directory", "")
        r = run(["-v", "-c", self.list_file(*urls), "-o", target])
        self.assertNotEqual(r.returncode, 0)

        queued, current = {}, None
        for line in r.stderr.decode("utf-8", "replace").split("\n"):
            if line.startswith("Debug : Parse feed "):
                current = urls[line[len("Debug : Parse feed "):]]
                queued[current] = []
            elif line.startswith("Debug :    - URL "):
                queued[current].append(line[len("Debug :    - URL "):])
        self.assertEqual(sorted(queued), sorted(feeds))

        mismatches = []
        for feed in feeds:
            want = []
            for index, url in sorted(expected[feed]):
                if (feed, index) in KNOWN_DIFFERENCES:
                    url = KNOWN_DIFFERENCES[(feed, index)][0]
                if url:
                    want.append(url)
            if queued[feed] != want:
                mismatches.append((feed, want, queued[feed]))
        self.assertEqual(mismatches, [], "\n".join(
            "%s\n  expected %s\n  queued   %s" % m for m in mismatches))


if __name__ == "__main__":
    unittest.main()
