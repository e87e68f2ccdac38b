#!/usr/bin/env python3
"""Client side of the replica test and benchmark (scripts/test-replicas.sh, bench-replicas.sh).

  replicas.py ports N                       N free loopback ports, one per line (for nginx,
                                            which takes no port 0)
  replicas.py wait URL SECONDS              until URL answers 200 (exit 1 when it never does)
  replicas.py load FRONT REFERENCE COUNT RATE PROGRESS
                                            COUNT queries to FRONT at RATE per second, each on a
                                            new connection, every answer compared with REFERENCE's
  replicas.py startup LOOKUPD INDEX RUNS    start-up to the first answer, wall and CPU time
  replicas.py memory PID...                 resident memory of running replicas

Only loopback addresses are ever contacted; every wait has a bound.
"""
import http.client
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

TIMEOUT = 10  # seconds for any one connection


def get(url, path):
    """One GET on a new connection: (status, body bytes)."""
    u = urllib.parse.urlsplit(url)
    if u.hostname not in ("127.0.0.1", "::1"):
        raise SystemExit(f"replicas.py: {u.hostname} is not a loopback address")
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=TIMEOUT)
    try:
        conn.request("GET", path, headers={"Connection": "close"})
        r = conn.getresponse()
        return r.status, r.read()
    finally:
        conn.close()


def free_ports(n):
    socks = []
    for _ in range(n):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def wait_ready(url, seconds):
    end = time.monotonic() + seconds
    u = urllib.parse.urlsplit(url)
    path = (u.path or "/") + ("?" + u.query if u.query else "")
    while time.monotonic() < end:
        try:
            if get(url, path)[0] == 200:
                return True
        except OSError:
            pass
        time.sleep(0.02)
    return False


def query_paths(n):
    # Fixed points over eastern and central China, where most positions fall in a district.
    rng = random.Random(20240601)
    return [f"/GetTextByPos?x={rng.randrange(36000000, 43200000)}&y={rng.randrange(7920000, 14400000)}"
            f"&radius=6000&service=gettext" for _ in range(n)]


def load(front, reference, count, rate, progress_file, workers=4):
    paths = query_paths(200)
    expected = {p: get(reference, p) for p in paths}
    if any(status != 200 for status, _ in expected.values()):
        print("load: the reference replica refused a query", file=sys.stderr)
        return 1
    lock = threading.Lock()
    counts = {"sent": 0, "answered": 0, "failed": 0}
    failures = []
    next_index = [0]
    start = time.monotonic() + 0.1

    def worker():
        while True:
            with lock:
                i = next_index[0]
                if i >= count:
                    return
                next_index[0] += 1
            # Paced, so that the load lasts long enough to span a replica's restart.
            time.sleep(max(0.0, start + i / rate - time.monotonic()))
            with lock:
                counts["sent"] += 1
            path = paths[i % len(paths)]
            try:
                got = get(front, path)
                ok = got == expected[path]
                why = "" if ok else f"status {got[0]}, body {got[1][:80]!r}"
            except OSError as e:
                ok, why = False, f"{type(e).__name__}: {e}"
            with lock:
                counts["answered" if ok else "failed"] += 1
                if not ok and len(failures) < 5:
                    failures.append(f"{path}: {why}")
                done = counts["answered"] + counts["failed"]
                if done % 25 == 0 or done == count:
                    with open(progress_file + ".tmp", "w") as f:
                        f.write(str(done))
                    os.replace(progress_file + ".tmp", progress_file)

    threads = [threading.Thread(target=worker) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"queries: sent {counts['sent']}, answered {counts['answered']}, failed {counts['failed']}")
    for f in failures:
        print(f"  failed: {f}")
    return 0 if counts["answered"] == count and counts["failed"] == 0 else 1


def private_kib(pid):
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                fields[parts[0][:-1]] = int(parts[1])
    return fields


def cpu_ms(pid):
    """CPU time of all the process's threads so far (the scheduler's count, in ns)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e6


def print_memory(pids):
    for pid in pids:
        m = private_kib(pid)
        private = m.get("Private_Clean", 0) + m.get("Private_Dirty", 0)
        print(f"replica pid {pid}: private {private / 1024:.1f} MiB, shared {(m.get('Shared_Clean', 0) + m.get('Shared_Dirty', 0)) / 1024:.1f} MiB, "
              f"resident {m.get('Rss', 0) / 1024:.1f} MiB, proportional {m.get('Pss', 0) / 1024:.1f} MiB")


def reported_port(p, seconds):
    """The port a service started on port 0 names in its "listening on" line, or None."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        line = p.stderr.readline()
        if not line:
            return None
        m = re.match(rb"lumeno-lookupd: listening on [^ ]*:(\d+) ", line)
        if m:
            return int(m.group(1))
    return None


def startup(lookupd, index, runs):
    times, cpus = [], []
    path = query_paths(1)[0]
    for _ in range(runs):
        t0 = time.monotonic()
        p = subprocess.Popen([lookupd, "--listen", "127.0.0.1:0", "--data", index, "--quiet"],
                             stderr=subprocess.PIPE)
        try:
            answered = None
            port = reported_port(p, 10)
            url = f"http://127.0.0.1:{port}"
            while port and time.monotonic() - t0 < 10 and p.poll() is None:
                try:
                    if get(url, path)[0] == 200:
                        answered = time.monotonic()
                        break
                except OSError:
                    time.sleep(0.001)
            if answered is None:
                print("startup: the service gave no answer within 10 s", file=sys.stderr)
                return 1
            times.append((answered - t0) * 1000)
            cpus.append(cpu_ms(p.pid))
        finally:
            p.terminate()
            p.wait(timeout=15)
    times.sort()
    cpus.sort()
    print(f"start-up to the first answer over {runs} runs: median {times[runs // 2]:.0f} ms, "
          f"min {times[0]:.0f} ms, max {times[-1]:.0f} ms")
    print(f"CPU time of the service until then: median {cpus[runs // 2]:.0f} ms, min {cpus[0]:.0f} ms "
          f"(what the wall-clock time comes down to on an idle machine)")
    return 0


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "ports" and len(argv) == 3:
        print("\n".join(map(str, free_ports(int(argv[2])))))
        return 0
    if cmd == "wait" and len(argv) == 4:
        return 0 if wait_ready(argv[2], float(argv[3])) else 1
    if cmd == "load" and len(argv) == 7:
        return load(argv[2], argv[3], int(argv[4]), float(argv[5]), argv[6])
    if cmd == "startup" and len(argv) == 5:
        return startup(argv[2], argv[3], int(argv[4]))
    if cmd == "memory" and len(argv) >= 3:
        print_memory(argv[2:])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
