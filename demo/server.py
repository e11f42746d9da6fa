"""Serves the demo set on 127.0.0.1 and an ephemeral port. Feeds are
templates: @BASE@ becomes this server's address and @DAYS_AGO_n@ the date
n days before now, so the demo's recent feeds stay recent. Writes the port
to the file given as its argument once it listens."""

import email.utils
import http.server
import os
import re
import sys
import time

ROOT = os.path.dirname(os.path.abspath(__file__))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path.split("?")[0].lstrip("/")
        file = os.path.normpath(os.path.join(ROOT, path))
        if not file.startswith(ROOT + os.sep) or not os.path.isfile(file):
            self.send_error(404)
            return
        with open(file, "rb") as f:
            body = f.read()
        if file.endswith(".xml"):
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            text = body.decode().replace("@BASE@", base)
            text = re.sub(r"@DAYS_AGO_(\d+)@", lambda m: email.utils.formatdate(
                time.time() - int(m.group(1)) * 86400, usegmt=True), text)
            body = text.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
