"""The benchmarks: wavelot against curl on this machine, and against a build
from before a change, everything served on loopback by a private nginx or,
for the latency scenarios, by bench/slow_server.py. Prints Markdown tables.

    python3 bench/bench.py WAVELOT PARSE_FEEDS WORKDIR [--smoke] [--before=BINARY] [sN ...]
"""

import os
import platform
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time

WAVELOT, PARSE_FEEDS, WORK = (os.path.abspath(a) for a in sys.argv[1:4])
SMOKE = "--smoke" in sys.argv
BEFORE = next((os.path.abspath(a.split("=", 1)[1]) for a in sys.argv
               if a.startswith("--before=")), None)
HERE = os.path.dirname(os.path.abspath(__file__))
WWW = os.path.join(WORK, "www")
RUNS = 1 if SMOKE else 5


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


PORT = free_port()
BASE = "http://127.0.0.1:%d" % PORT

NGINX_CONF = """
worker_processes 1;
daemon off;
user root;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 256; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path {work}/tmp/body;
    proxy_temp_path {work}/tmp/proxy;
    fastcgi_temp_path {work}/tmp/fastcgi;
    uwsgi_temp_path {work}/tmp/uwsgi;
    scgi_temp_path {work}/tmp/scgi;
    types {{ application/rss+xml xml; audio/mpeg mp3; application/octet-stream bin; }}
    server {{ listen 127.0.0.1:{port}; root {www}; }}
}}
"""


def start_nginx():
    os.makedirs(os.path.join(WORK, "tmp"), exist_ok=True)
    conf = os.path.join(WORK, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(work=WORK, www=WWW, port=PORT))
    proc = subprocess.Popen(["nginx", "-p", WORK, "-c", conf])
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", PORT), timeout=0.1).close()
            return proc
        except OSError:
            time.sleep(0.05)
    raise SystemExit("nginx did not start")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w" if isinstance(data, str) else "wb") as f:
        f.write(data)


def feed(items):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<rss version="2.0"><channel>'
            "<title>bench</title><link>%s/</link><description>d</description>%s"
            "</channel></rss>\n" % (BASE, "".join(items)))


def item(title, url, text=""):
    return ("<item><title>%s</title><pubDate>Tue, 10 Jun 2003 04:00:00 GMT</pubDate>"
            "<guid isPermaLink=\"false\">%s</guid><description>%s</description>"
            '<enclosure url="%s" length="1" type="audio/mpeg"/><category>bench</category>'
            "</item>" % (title, url, text, url))


def measure(cmd, setup=None, runs=RUNS):
    """Wall seconds and peak RSS (KiB) of `runs` runs of `cmd`."""
    walls, rss = [], []
    for _ in range(runs):
        if setup:
            setup()
        t = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-v"] + cmd, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        walls.append(time.perf_counter() - t)
        if r.returncode != 0:
            raise SystemExit("failed: %s\n%s" % (" ".join(cmd[:3]), r.stderr[-3000:].decode()))
        rss.append(int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)",
                                 r.stderr).group(1)))
    return walls, rss


def fmt(walls):
    return "%.3f s (%.3f–%.3f)" % (statistics.median(walls), min(walls), max(walls))


def mib(rss):
    return "%.1f MiB" % (statistics.median(rss) / 1024)


def empty(path):
    def do():
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    return do


def list_file(name, urls):
    path = os.path.join(WORK, name)
    write(path, "".join(u + "\n" for u in urls))
    return path


def s1_workload():
    """S1's feeds (served under /s1/) with every episode present in the
    target; returns the feed paths and the target directory."""
    feeds, items = (5, 20) if SMOKE else (50, 200)
    target = os.path.join(WORK, "s1-target")
    if os.path.isdir(target):
        return ["/s1/f%d.xml" % i for i in range(feeds)], target
    empty(target)()
    for i in range(feeds):
        names = ["f%d-e%d.mp3" % (i, j) for j in range(items)]
        write(os.path.join(WWW, "s1", "f%d.xml" % i),
              feed(item("episode %d" % j, BASE + "/s1/ep/" + n) for j, n in enumerate(names)))
        for n in names:
            open(os.path.join(target, n), "w").close()
    return ["/s1/f%d.xml" % i for i in range(feeds)], target


def ours_and_before(args, setup=None, runs=RUNS, label="wavelot"):
    """Table rows for wavelot and, when given, the build before the change."""
    rows = []
    for name, binary in (("wavelot", WAVELOT), ("before the change", BEFORE)):
        if binary:
            walls, rss = measure([binary] + args, setup=setup, runs=runs)
            rows.append((label.replace("wavelot", name), walls, rss))
    return rows


def print_rows(rows):
    for who, walls, rss in rows:
        print("| %s | %s | %s |" % (who, fmt(walls), mib(rss) if rss else ""))


def s1():
    paths, target = s1_workload()
    urls = [BASE + p for p in paths]
    feeds = len(urls)
    cfg = list_file("s1.cfg", urls)
    rows = ours_and_before(["-c", cfg, "-o", target])
    saved = os.path.join(WORK, "s1-saved")
    empty(saved)()
    curl_args = []
    for i, u in enumerate(urls):
        curl_args += ["-o", os.path.join(saved, "f%d.xml" % i), u]
    files = " ".join(os.path.join(saved, "f%d.xml" % i) for i in range(feeds))
    floor, _ = measure(["sh", "-c", "curl -s %s && %s mrss %s" % (
        " ".join(curl_args), PARSE_FEEDS, files)])
    print("### S1: cron, nothing new (%d feeds x %d items, every episode present)\n"
          % (feeds, 20 if SMOKE else 200))
    print("| run | wall, median (min–max) | peak RSS |\n|---|---|---|")
    print_rows(rows)
    print("| floor: one curl for the feeds + libmrss parse | %s | |" % fmt(floor))
    print("\nwavelot / floor: %.2f\n" % (statistics.median(rows[0][1]) / statistics.median(floor)))


def start_slow_server(delay, addresses):
    port = free_port()
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "slow_server.py"), WWW,
                             str(port), str(delay)] + addresses, stdout=subprocess.PIPE)
    if proc.stdout.readline().strip() != b"ready":
        raise SystemExit("slow_server.py did not start")
    return proc, port


def s5():
    paths, target = s1_workload()
    hosts = ["127.0.0.%d" % (1 + h) for h in range(10)]
    server, port = start_slow_server(0.1, hosts)
    try:
        urls = ["http://%s:%d%s" % (hosts[i % len(hosts)], port, p) for i, p in enumerate(paths)]
        cfg = list_file("s5.cfg", urls)
        rows = ours_and_before(["-c", cfg, "-o", target])
        saved = os.path.join(WORK, "s5-saved")
        empty(saved)()
        curl_args = ["-s"]
        for i, u in enumerate(urls):
            curl_args += ["-o", os.path.join(saved, "f%d.xml" % i), u]
        sequential, _ = measure(["curl"] + curl_args)
        parallel, _ = measure(["curl", "--parallel"] + curl_args)
    finally:
        server.terminate()
        server.wait()
    print("### S5: S1 over ten loopback hosts, every first byte 100 ms late\n")
    print("| run | wall, median (min–max) | peak RSS |\n|---|---|---|")
    print_rows(rows)
    print("| curl, the %d feeds one after another | %s | |" % (len(urls), fmt(sequential)))
    print("| curl --parallel, the %d feeds | %s | |" % (len(urls), fmt(parallel)))
    print()


def s6():
    paths, target = s1_workload()
    server, port = start_slow_server(0, ["127.0.0.1"])
    try:
        urls = [BASE + p for p in paths]
        urls.insert(len(urls) // 2, "http://127.0.0.1:%d/dead/feed.xml" % port)
        cfg = list_file("s6.cfg", urls)
        rows = ours_and_before(["-c", cfg, "-o", target], runs=1)
    finally:
        server.terminate()
        server.wait()
    print("### S6: S1 and one feed that never answers (one run each)\n")
    print("| run | wall | peak RSS |\n|---|---|---|")
    for who, walls, rss in rows:
        print("| %s | %.1f s | %s |" % (who, walls[0], mib(rss)))
    print()


def s2():
    feeds, items, size = (4, 5, 256 << 10) if SMOKE else (20, 10, 256 << 10)
    rnd = random.Random(1)
    urls, episode_urls = [], []
    for i in range(feeds):
        its = []
        for j in range(items):
            name = "f%d-e%d.mp3" % (i, j)
            write(os.path.join(WWW, "s2", "ep", name), rnd.randbytes(size))
            episode_urls.append(BASE + "/s2/ep/" + name)
            its.append(item("episode %d" % j, episode_urls[-1]))
        write(os.path.join(WWW, "s2", "f%d.xml" % i), feed(its))
        urls.append(BASE + "/s2/f%d.xml" % i)
    cfg = list_file("s2.cfg", urls)
    target = os.path.join(WORK, "s2-target")
    rows = ours_and_before(["-c", cfg, "-o", target], setup=empty(target),
                           label="wavelot (fsync per episode)")
    ours = rows[0][1]
    curl_dir = os.path.join(WORK, "s2-curl")
    curl_cmd = ["curl", "-s", "--remote-name-all", "--output-dir", curl_dir] + episode_urls
    plain, _ = measure(curl_cmd, setup=empty(curl_dir))
    synced, _ = measure(["sh", "-c", "%s && sync %s/*" % (" ".join(curl_cmd), curl_dir)],
                        setup=empty(curl_dir))
    n = feeds * items
    print("### S2: first run (%d feeds x %d items, %d episodes of %d KiB)\n"
          % (feeds, items, n, size >> 10))
    print("| run | wall, median (min–max) | peak RSS |\n|---|---|---|")
    print_rows(rows)
    print("| curl, %d URLs one after another | %s | |" % (n, fmt(plain)))
    print("| curl, then `sync` of each file | %s | |" % fmt(synced))
    m = statistics.median
    print("\nfsync cost on this disk (curl+sync − curl): %.3f s; wavelot − (curl+sync): %.3f s\n"
          % (m(synced) - m(plain), m(ours) - m(synced)))


def s3():
    print("### S3: one big episode (sparse file, nginx sendfile)\n")
    print("| size | run | wall, median (min–max) | throughput | peak RSS |\n|---|---|---|---|---|")
    sizes = [64 << 20] if SMOKE else [64 << 20, 1 << 30]
    for size in sizes:
        name = "big-%d.bin" % (size >> 20)
        path = os.path.join(WWW, "s3", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.truncate(size)
        write(os.path.join(WWW, "s3", "%s.xml" % name), feed([item("big", BASE + "/s3/" + name)]))
        cfg = list_file("s3.cfg", [BASE + "/s3/%s.xml" % name])
        target = os.path.join(WORK, "s3-target")
        runs = RUNS if size <= (64 << 20) else max(1, min(RUNS, 3))
        rows = ours_and_before(["-c", cfg, "-o", target], setup=empty(target), runs=runs,
                               label="wavelot (fsync)")
        ours = rows[0][1]
        curl_dir = os.path.join(WORK, "s3-curl")
        curl_cmd = ["curl", "-s", "-o", os.path.join(curl_dir, name), BASE + "/s3/" + name]
        theirs, theirs_rss = measure(curl_cmd, setup=empty(curl_dir), runs=runs)
        synced, _ = measure(["sh", "-c", "%s && sync %s" % (" ".join(curl_cmd),
                                                            os.path.join(curl_dir, name))],
                            setup=empty(curl_dir), runs=runs)
        for who, walls, rss in rows + [("curl -o", theirs, theirs_rss),
                                       ("curl -o, then `sync` of the file", synced, None)]:
            print("| %d MiB | %s | %s | %.0f MiB/s | %s |" % (
                size >> 20, who, fmt(walls), (size >> 20) / statistics.median(walls),
                mib(rss) if rss else ""))
        m = statistics.median
        print("| %d MiB | wavelot / curl -o throughput | | %.2f | |" % (size >> 20, m(theirs) / m(ours)))
        print("| %d MiB | wavelot / (curl -o + sync) | | %.2f | |" % (size >> 20, m(synced) / m(ours)))
        os.remove(path)
    print()


def s4():
    counts = [500, 1000] if SMOKE else [2000, 5000, 10000, 20000]
    print("### S4: one big feed, nothing new\n")
    print("| items | feed size | wavelot wall | peak RSS | libnxml parse | libmrss parse | "
          "libmrss beyond the XML parse |\n|---|---|---|---|---|---|---|")
    text = "x" * 700
    before_rows = []
    for n in counts:
        name = "big-%d.xml" % n
        path = os.path.join(WWW, "s4", name)
        names = ["e%d.mp3" % j for j in range(n)]
        write(path, feed(item("episode %d" % j, BASE + "/s4/ep/" + e, text)
                         for j, e in enumerate(names)))
        target = os.path.join(WORK, "s4-target-%d" % n)
        empty(target)()
        for e in names:
            open(os.path.join(target, e), "w").close()
        cfg = list_file("s4.cfg", [BASE + "/s4/" + name])
        runs = max(1, min(RUNS, 3))
        ours, rss = measure([WAVELOT, "-c", cfg, "-o", target], runs=runs)
        if BEFORE:
            theirs, theirs_rss = measure([BEFORE, "-c", cfg, "-o", target], runs=runs)
            before_rows.append("| %d | %s | %s |" % (n, fmt(theirs), mib(theirs_rss)))
        xml = parse_seconds("nxml", path, runs)
        whole = parse_seconds("mrss", path, runs)
        m = statistics.median
        print("| %d | %.1f MB | %s | %s | %.3f s | %.3f s | %.3f s (%.0f%% of wavelot) |" % (
            n, os.path.getsize(path) / 1e6, fmt(ours), mib(rss), m(xml), m(whole),
            m(whole) - m(xml), 100 * (m(whole) - m(xml)) / m(ours)))
    if before_rows:
        print("\nThe build before the change:\n\n| items | wall | peak RSS |\n|---|---|---|")
        print("\n".join(before_rows))
    print()


def parse_seconds(mode, path, runs):
    """The helper's own timing of its parse, without process start-up."""
    return [float(subprocess.run([PARSE_FEEDS, mode, path], capture_output=True, check=True,
                                 text=True).stdout) for _ in range(runs)]


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split()[1]
    nginx = subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip()
    print("Machine: %s, %d cores, %.0f GiB, kernel %s; curl %s, %s; target disk: the file "
          "system of %s. %d runs each unless said.\n" % (
              cpu, os.cpu_count(), mem, platform.release(), curl, nginx, WORK, RUNS))
    if BEFORE:
        print("Before the change: %s.\n" % BEFORE)


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WWW)
    os.chmod(WORK, 0o755)
    nginx = start_nginx()
    try:
        machine()
        wanted = ([a for a in sys.argv[4:] if not a.startswith("--")] or
                  ["s1", "s2", "s3", "s4", "s5", "s6"])
        for name in wanted:
            globals()[name]()
            sys.stdout.flush()
    finally:
        nginx.terminate()
        nginx.wait()


main()
