"""Runs inside a private mount namespace (unshare -m): mounts a tmpfs on the
empty directory given first, puts in it the few device nodes a process
needs and a datagram socket named log, binds it over /dev, runs the command given, and prints as JSON its exit
status, its standard error and every datagram that reached the socket."""

import json
import os
import socket
import subprocess
import sys

DEVICES = ("null", "zero", "random", "urandom", "full")


def main():
    scratch = sys.argv[1]
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", scratch], check=True)
    for name in DEVICES:
        node = os.path.join(scratch, name)
        open(node, "w").close()
        subprocess.run(["mount", "--bind", "/dev/" + name, node], check=True)
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind(os.path.join(scratch, "log"))
    subprocess.run(["mount", "--bind", scratch, "/dev"], check=True)

    r = subprocess.run(sys.argv[2:], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=60)
    log.settimeout(0.5)
    datagrams = []
    try:
        while True:
            datagrams.append(log.recv(65536).decode("utf-8", "replace"))
    except socket.timeout:
        pass
    print(json.dumps({"status": r.returncode, "stderr": r.stderr.decode("utf-8", "replace"),
                      "datagrams": datagrams}))


main()
