"""A loopback HTTP/1.1 server for the latency scenarios: serves the files
under ROOT on every given address at once, each response's first byte
DELAY seconds late, many requests at a time; a path under /dead/ is
accepted and never answered.

    python3 bench/slow_server.py ROOT PORT DELAY ADDRESS...

Prints "ready" on standard output once it listens everywhere.
"""

import asyncio
import os
import sys

ROOT, PORT, DELAY = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
ADDRESSES = sys.argv[4:]


async def serve(reader, writer):
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            path = head.split(b" ", 2)[1].decode().split("?")[0]
            if path.startswith("/dead/"):
                await reader.read()  # until the client gives up
                return
            await asyncio.sleep(DELAY)
            file = os.path.join(ROOT, path.lstrip("/"))
            try:
                with open(file, "rb") as f:
                    body = f.read()
                status = b"200 OK"
            except OSError:
                body, status = b"no such file", b"404 Not Found"
            writer.write(b"HTTP/1.1 %s\r\nContent-Length: %d\r\n\r\n" % (status, len(body)))
            writer.write(body)
            await writer.drain()
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


async def main():
    servers = [await asyncio.start_server(serve, a, PORT, backlog=512) for a in ADDRESSES]
    print("ready", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


asyncio.run(main())
