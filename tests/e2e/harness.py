"""Shared pieces of the end-to-end tests: run the built binary, serve
scripted HTTP responses on 127.0.0.1, and make scratch directories."""

import http.server
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

WAVELOT = os.environ.get("WAVELOT", "")
# A command to run the binary under, such as valgrind with its options.
WRAPPER = os.environ.get("WAVELOT_WRAPPER", "").split()
CORPUS = os.environ.get("WAVELOT_CORPUS", "")
# Set in the sanitizer build, whose memory figures are the sanitizers' own.
SANITIZED = os.environ.get("WAVELOT_SANITIZED", "") == "1"
RUN_TIMEOUT = 120


def plain_env():
    """This environment without the machine's proxies: none may stand
    between the binary and 127.0.0.1."""
    return {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


# With -v, a run first says which confinement is in force; that depends on
# the kernel (and on valgrind), so most tests leave the line out.
CONFINEMENT = re.compile(rb"^Debug : confinement : [^\n]*\n")


def run(args, env=None, program=None, timeout=RUN_TIMEOUT, confinement=False, **kwargs):
    """Runs the binary (or `program`, a link to it) with `args`; returns
    the CompletedProcess with bytes stdout and stderr, the latter without
    its confinement line unless `confinement`."""
    full_env = plain_env()
    full_env.setdefault("TZ", "UTC")
    if env:
        full_env.update(env)
    r = subprocess.run(WRAPPER + [program or WAVELOT] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=full_env, timeout=timeout,
                       stdin=subprocess.DEVNULL, **kwargs)
    if not confinement:
        r.stderr = CONFINEMENT.sub(b"", r.stderr, count=1)
    return r


def run_measured(args, timeout=RUN_TIMEOUT):
    """Runs the binary with `args`, unwrapped; returns (status, stderr
    bytes, peak resident memory in KiB)."""
    env = plain_env()
    env.setdefault("TZ", "UTC")
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([WAVELOT] + list(args), stdout=subprocess.DEVNULL, stderr=err,
                                stdin=subprocess.DEVNULL, env=env)
        deadline = time.time() + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.time() > deadline:
                proc.kill()
                raise subprocess.TimeoutExpired(args, timeout)
            time.sleep(0.02)
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        return proc.returncode, CONFINEMENT.sub(b"", err.read(), count=1), usage.ru_maxrss


def closed_port():
    """A port on 127.0.0.1 that nothing listens on."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def warning(message, errtext="Success"):
    """A warning as the binary writes it on standard error."""
    return "wavelot: %s: %s\n" % (message, errtext)


class Response:
    """One scripted answer. `action` may replace the plain answer with a
    misbehaviour: 'reset' after `body`, 'short' (announce more than sent),
    'stall' (send `body`, then nothing for `stall` seconds), 'endless'
    (send `body` over and over, without end). `delay` spaces the chunks of
    the body out in time; `late` holds the whole answer back."""

    def __init__(self, body=b"", status=200, headers=None, action=None, stall=0,
                 chunk=65536, delay=0, late=0):
        self.body = body if isinstance(body, bytes) else body.encode()
        self.status = status
        self.headers = headers or {}
        self.action = action
        self.stall = stall
        self.chunk = chunk
        self.delay = delay
        self.late = late


class Server:
    """A threaded HTTP server on 127.0.0.1 and an ephemeral port, answering
    from a dict path -> Response (or callable(handler) -> Response), and
    logging every request path and its User-Agent."""

    def __init__(self):
        self.routes = {}
        self.requests = []
        self.lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                with server.lock:
                    server.requests.append((self.path, self.headers.get("User-Agent")))
                answer = server.routes.get(self.path,
                                           server.routes.get(self.path.split("?")[0]))
                if callable(answer):
                    answer = answer(self)
                if answer is None:
                    answer = Response(b"no such page", status=404)
                self.answer(answer)

            def answer(self, r):
                time.sleep(r.late)
                if r.action == "endless":
                    return self.endless(r.body)
                length = len(r.body) + (1000 if r.action == "short" else 0)
                self.send_response(r.status)
                headers = {"Content-Length": str(length), "Content-Type": "application/octet-stream"}
                headers.update(r.headers)
                for k, v in headers.items():
                    if v is not None:
                        self.send_header(k, v)
                self.end_headers()
                try:
                    for i in range(0, len(r.body), r.chunk):
                        self.wfile.write(r.body[i:i + r.chunk])
                        self.wfile.flush()
                        time.sleep(r.delay)
                    if r.action == "stall":
                        time.sleep(r.stall)
                    if r.action == "reset":
                        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                   b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    if r.action in ("reset", "short"):
                        self.close_connection = True
                        self.connection.close()
                except (BrokenPipeError, ConnectionResetError):
                    pass

            def endless(self, body):
                self.send_response(200)
                self.send_header("Content-Type", "application/rss+xml")
                self.end_headers()
                self.close_connection = True
                try:
                    while True:
                        self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def paths(self):
        with self.lock:
            return [p for p, _ in self.requests]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def rss(items, version="2.0", extra_channel=""):
    """An RSS document with the given item XML snippets."""
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<rss version="%s"><channel>'
            "<title>feed</title><link>http://example.invalid/</link>"
            "<description>d</description>%s%s</channel></rss>\n"
            % (version, extra_channel, "".join(items)))


def item(title=None, enclosure=None, guid=None, permalink=None, pubdate=None,
         categories=(), length=None):
    parts = []
    if title is not None:
        parts.append("<title>%s</title>" % title)
    if pubdate is not None:
        parts.append("<pubDate>%s</pubDate>" % pubdate)
    if guid is not None:
        attr = "" if permalink is None else ' isPermaLink="%s"' % permalink
        parts.append("<guid%s>%s</guid>" % (attr, guid))
    if enclosure is not None:
        parts.append('<enclosure url="%s" length="%s" type="audio/mpeg"/>'
                     % (enclosure, length if length is not None else 1))
    for c in categories:
        parts.append("<category>%s</category>" % c)
    return "<item>%s</item>" % "".join(parts)


def rfc822(t):
    return time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(t))


class Case(unittest.TestCase):
    """A test with a scratch directory (self.dir), a target directory
    (self.out) and, on demand, a server (self.server())."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wavelot-test-")
        self.out = os.path.join(self.dir, "out")
        os.mkdir(self.out)
        self._server = None

    def tearDown(self):
        if self._server:
            self._server.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def server(self):
        if self._server is None:
            self._server = Server()
        return self._server

    def failing_feeds_list(self, srv):
        """Serves the episodes /e/1.mp3 to /e/3.mp3 and writes a list of
        five feeds: /good.xml, a refused one, /missing.xml, /notxml and
        /last.xml (the test serves the feeds). Returns the list file and
        the refused URL."""
        for n in (1, 2, 3):
            srv.routes["/e/%d.mp3" % n] = Response(b"audio %d" % n)
        refused = "http://127.0.0.1:%d/feed.xml" % closed_port()
        cfg = self.list_file(srv.url("/good.xml"), refused, srv.url("/missing.xml"),
                             srv.url("/notxml"), srv.url("/last.xml"))
        return cfg, refused

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def list_file(self, *lines):
        return self.write("list.cfg", "".join(line + "\n" for line in lines))

    def files(self):
        return sorted(os.listdir(self.out))

    def read(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read()
