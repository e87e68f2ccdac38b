#!/usr/bin/env python3
"""Asks a running lookup service's outline routes for every district (at the finest tolerance,
the cache's worst case), each province's first district with its neighbours, and the province
outlines at every step, so that its resident memory can be read afterwards.

    bench-outlines.py PORT AREAS.json      prints: requests, refusals (codes the index lacks), seconds"""
import http.client
import json
import sys
import time

port, areas = int(sys.argv[1]), sys.argv[2]
codes = sorted({a["code"] for a in json.load(open(areas, encoding="utf-8"))})
targets = [f"/outline?code={c}&tolerance=0.0001" for c in codes]
firsts = {}
for c in codes:
    firsts.setdefault(c[:2], c)
targets += [f"/outline?code={c}&neighbours=1&tolerance=0.0001" for c in firsts.values()]
targets += [f"/provinces?tolerance={t}" for t in ("0.01", "0.02", "0.05", "0.1")]
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
refused = 0
t0 = time.time()
for target in targets:
    conn.request("GET", target)
    r = conn.getresponse()
    r.read()
    if r.status == 400:
        refused += 1
    elif r.status != 200:
        sys.exit(f"{target}: {r.status}")
print(f"{len(targets)} outline requests ({refused} codes the index lacks) in {time.time() - t0:.1f} s")
