"""Feeds fetched over HTTP from a server on 127.0.0.1, and the verbose trace."""

import os
import re
import shutil
import ssl
import subprocess
import time
import unittest

from harness import Case, Response, item, rfc822, run, rss

DATE = "Tue, 10 Jun 2003 04:00:00 GMT"


class Scan(Case):
    def test_verbose_trace_and_failing_feeds_in_list_order(self):
        srv = self.server()
        srv.routes["/good.xml"] = Response(rss([
            item("one", enclosure=srv.url("/e/1.mp3?x=1"), pubdate=DATE),
            item("two", enclosure=srv.url("/e/2.mp3"), pubdate=DATE)]))
        srv.routes["/notxml"] = Response("just some text")
        srv.routes["/last.xml"] = Response(rss([item("three", enclosure=srv.url("/e/3.mp3"),
                                                     pubdate=DATE)]))
        cfg, refused = self.failing_feeds_list(srv)
        r = run(["-v", "-c", cfg, "-o", self.out])
        self.assertEqual(r.returncode, 0)
        errtext = r"[^\n]*"  # whatever errno libmrss left behind
        expected = [
            re.escape("Debug : Parse feed %s" % srv.url("/good.xml")),
            re.escape("Debug :    - URL %s" % srv.url("/e/1.mp3?x=1")),
            re.escape("Debug :    - URL %s" % srv.url("/e/2.mp3")),
            re.escape("Debug : Parse feed %s" % refused),
            re.escape("wavelot: Download error : ") + errtext,
            re.escape("Debug : Parse feed %s" % srv.url("/missing.xml")),
            re.escape("wavelot: Parser error : ") + errtext,  # libmrss parses the 404 page
            re.escape("Debug : Parse feed %s" % srv.url("/notxml")),
            re.escape("wavelot: Parser error : ") + errtext,
            re.escape("Debug : Parse feed %s" % srv.url("/last.xml")),
            re.escape("Debug :    - URL %s" % srv.url("/e/3.mp3")),
            re.escape("Debug : downloading file : %s" % srv.url("/e/1.mp3?x=1")),
            re.escape("Debug : downloading file : %s" % srv.url("/e/2.mp3")),
            re.escape("Debug : downloading file : %s" % srv.url("/e/3.mp3")),
        ]
        lines = r.stderr.decode().splitlines()
        self.assertEqual(len(lines), len(expected), r.stderr.decode())
        for line, pattern in zip(lines, expected):
            self.assertRegex(line, "^%s$" % pattern)
        self.assertEqual(self.files(), ["1.mp3", "2.mp3", "3.mp3"])
        # Every feed was fetched (together, in any order) before any episode.
        paths = srv.paths()
        self.assertEqual(sorted(paths[:4]), ["/good.xml", "/last.xml", "/missing.xml", "/notxml"])

    def test_days_option_as_atoi_reads_it(self):
        srv = self.server()
        now = time.time()
        srv.routes["/f.xml"] = Response(rss([
            item("1 day", enclosure="http://h/1", pubdate=rfc822(now - 1.5 * 86400)),
            item("3 days", enclosure="http://h/3", pubdate=rfc822(now - 3.5 * 86400)),
            item("6 days", enclosure="http://h/6", pubdate=rfc822(now - 6.5 * 86400))]))
        cfg = self.list_file(srv.url("/f.xml"))
        target = self.write("not-a-directory", "")  # scan only: the first download stops
        cases = [
            (["-d", "x7"], ["1", "3", "6"]),  # no leading digits: no limit
            (["-d", "3days"], ["1", "3"]),
            (["-d", "5", "-d", "1"], ["1"]),
            (["-d", "-3"], []),
            ([], ["1", "3", "6"]),
        ]
        for options, queued in cases:
            with self.subTest(options=options):
                r = run(["-v"] + options + ["-c", cfg, "-o", target])
                urls = re.findall(r"Debug :    - URL http://h/(\d)", r.stderr.decode())
                self.assertEqual(urls, queued)

    def test_feed_requests_carry_the_user_agent(self):
        srv = self.server()
        srv.routes["/f.xml"] = Response(rss([]))
        run(["-c", self.list_file(srv.url("/f.xml")), "-o", self.out])
        self.assertEqual(srv.requests, [("/f.xml", "wavelot/0.4.0")])

    @unittest.skipUnless(shutil.which("openssl"), "needs openssl to make a certificate")
    def test_https_feed_with_self_signed_certificate_is_refused(self):
        key, cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        srv = self.server()
        srv.routes["/f.xml"] = Response(rss([item("x", enclosure=srv.url("/x.mp3"))]))
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        srv.httpd.socket = context.wrap_socket(srv.httpd.socket, server_side=True)
        url = "https://127.0.0.1:%d/f.xml" % srv.port
        r = run(["-c", self.list_file(url), "-o", self.out])
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stderr.decode(), r"^wavelot: Download error : [^\n]*\n$")
        self.assertEqual(srv.paths(), [])  # the handshake failed before any request
        self.assertEqual(self.files(), [])


if __name__ == "__main__":
    unittest.main()
