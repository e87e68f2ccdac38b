#!/usr/bin/env bash
# Benchmark of the lookup service as replicas on one machine: start-up time to the first
# answer with the index in the page cache, and the memory each replica keeps to itself
# (Private_Clean + Private_Dirty from /proc/PID/smaps_rollup) while three replicas share
# the mapped index. Prints figures, asserts nothing.
# Usage: scripts/bench-replicas.sh [BUILD_DIR] (default build/native; built first if needed)
# Only 127.0.0.1 is contacted. Every process started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
BUILD=${1:-build/native}
RUNS=${BENCH_RUNS:-9}

[ -f "$BUILD/CMakeCache.txt" ] || cmake --preset native -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target lumeno-lookupd lookupd-index lookupd_bench >/dev/null
LOOKUPD=$BUILD/service/lumeno-lookupd
INDEX=$BUILD/service/lookupd.idx

PIDS=()
TMP=$(mktemp -d)
cleanup() {
    for pid in "${PIDS[@]}"; do stop_pid "$pid" || true; done
    rm -rf "$TMP"
}
trap cleanup EXIT

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) (other work slows the wall-clock figures)"
echo "index: $(stat -c %s "$INDEX") bytes"
cat "$INDEX" >/dev/null  # into the page cache: the figures are for a warm start

echo "== in-process: load and lookups (100000 fixed points, radius 6000)"
"$BUILD/index/lookupd_bench" "$INDEX" 100000

echo "== start-up to the first answer, one replica at a time ($RUNS runs)"
python3 scripts/replicas.py startup "$LOOKUPD" "$INDEX" "$RUNS"

echo "== three replicas at once, after start-up and one answer each"
ports=()
for n in 1 2 3; do
    "$LOOKUPD" --listen "127.0.0.1:0" --data "$INDEX" --quiet 2>"$TMP/replica$n.log" &
    PIDS+=($!)
    ports+=("$(listening_port "$TMP/replica$n.log" 10 $!)") ||
        { echo "bench-replicas: a replica did not start within 10 s" >&2; exit 1; }
done
for port in "${ports[@]}"; do
    python3 scripts/replicas.py wait \
        "http://127.0.0.1:$port/GetTextByPos?x=40000000&y=12000000&radius=6000&service=gettext" 10 ||
        { echo "bench-replicas: a replica did not answer within 10 s" >&2; exit 1; }
done
python3 scripts/replicas.py memory "${PIDS[@]}"
echo "(private: the replica's own pages; shared: mostly the mapped index, one copy for all)"
