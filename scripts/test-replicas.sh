#!/usr/bin/env bash
# Replica test: nginx with deploy/nginx-lookupd.conf (ports rewritten, loopback only) in
# front of three replicas of the lookup service. A bounded load of queries, each on a new
# connection, runs while one replica is stopped (SIGTERM) and started again: no query may
# fail, and every answer must equal the one a replica gives directly. Also checks the
# systemd unit with systemd-analyze.
# Usage: scripts/test-replicas.sh [BUILD_DIR] (default build/native; built first if needed)
# Every process started here is stopped on exit, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh
BUILD=${1:-build/native}
QUERIES=${REPLICA_TEST_QUERIES:-4000}
RATE=400  # queries per second: the load lasts about 10 s

for tool in nginx systemd-analyze python3; do
    command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin command -v "$tool" >/dev/null ||
        { echo "test-replicas: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
NGINX=$(PATH=$PATH:/usr/sbin command -v nginx)

[ -f "$BUILD/CMakeCache.txt" ] || cmake --preset native -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target lumeno-lookupd lookupd-index >/dev/null
LOOKUPD=$root/$BUILD/service/lumeno-lookupd
INDEX=$root/$BUILD/service/lookupd.idx

TMP=$(mktemp -d)
declare -A REPLICA=()
NGINX_PID=""
LOAD_PID=""
cleanup() {
    if [ -n "$LOAD_PID" ]; then stop_pid "$LOAD_PID" || true; fi
    for pid in "${REPLICA[@]}"; do stop_pid "$pid" || true; done
    if [ -n "$NGINX_PID" ]; then stop_pid "$NGINX_PID" || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
    echo "test-replicas: FAILED: $*" >&2
    for f in "$TMP"/*.log; do [ -s "$f" ] && { echo "--- $f" >&2; tail -5 "$f" >&2; }; done
    exit 1
}

echo "== the unit file (systemd-analyze verify)"
# Installed as a template; checked against the binary built here.
sed "s#/usr/local/bin/lumeno-lookupd#$LOOKUPD#" deploy/lumeno-lookupd.service >"$TMP/lumeno-lookupd@.service"
verify=$(cd "$TMP" && systemd-analyze verify "lumeno-lookupd@18361.service" 2>&1) || fail "systemd-analyze: $verify"
[ -z "$verify" ] || fail "systemd-analyze: $verify"
echo "unit: no complaints"

start_replica() {  # number [port]: on a port the system picks unless given; sets P<number>
    "$LOOKUPD" --listen "127.0.0.1:${2:-0}" --data "$INDEX" 2>>"$TMP/replica$1.log" &
    REPLICA[$1]=$!
    local port
    port=$(listening_port "$TMP/replica$1.log" 10 "${REPLICA[$1]}") || fail "replica $1 did not start within 10 s"
    python3 scripts/replicas.py wait "http://127.0.0.1:$port/healthz" 10 || fail "replica $1 was not ready within 10 s"
    printf -v "P$1" '%s' "$port"
}
start_replica 1
start_replica 2
start_replica 3
# nginx takes no port 0: its port is the one free port this test picks.
FRONT=$(python3 scripts/replicas.py ports 1)
echo "== nginx on 127.0.0.1:$FRONT and [::1]:$FRONT, replicas on $P1 $P2 $P3"
# The deployment's file itself, with only its ports and listen addresses changed.
sed -e "s/listen 18360;/listen 127.0.0.1:$FRONT;/" -e "s/listen \[::\]:18360;/listen [::1]:$FRONT;/" \
    -e "s/127.0.0.1:18361/127.0.0.1:$P1/" -e "s/127.0.0.1:18362/127.0.0.1:$P2/" \
    -e "s/127.0.0.1:18363/127.0.0.1:$P3/" deploy/nginx-lookupd.conf >"$TMP/lumeno-lookupd.conf"
# Every listen and server address must now be a loopback one.
if grep -vE '^ *#' "$TMP/lumeno-lookupd.conf" | grep -E '^ *(listen|server) +[^{ ]' |
    grep -vE '(127\.0\.0\.1|\[::1\]):'; then
    fail "the nginx file has a listen or server line this test does not rewrite to loopback"
fi
cat >"$TMP/nginx.conf" <<EOF
worker_processes 1;
pid $TMP/nginx.pid;
error_log $TMP/nginx-error.log notice;
events { worker_connections 512; }
http {
    access_log $TMP/nginx-access.log;
    client_body_temp_path $TMP/client_body;
    proxy_temp_path $TMP/proxy;
    fastcgi_temp_path $TMP/fastcgi;
    uwsgi_temp_path $TMP/uwsgi;
    scgi_temp_path $TMP/scgi;
    include $TMP/lumeno-lookupd.conf;
}
EOF
"$NGINX" -e "$TMP/nginx-error.log" -p "$TMP" -c "$TMP/nginx.conf" -t -q || fail "nginx refuses the configuration"

"$NGINX" -e "$TMP/nginx-error.log" -p "$TMP" -c "$TMP/nginx.conf" -g 'daemon off;' &
NGINX_PID=$!
python3 scripts/replicas.py wait "http://127.0.0.1:$FRONT/healthz" 10 || fail "nginx did not answer within 10 s"
python3 scripts/replicas.py wait "http://[::1]:$FRONT/healthz" 10 || fail "nginx did not answer on ::1 within 10 s"

echo "== $QUERIES queries through nginx at $RATE/s, each on a new connection; replica 2 stopped and started meanwhile"
python3 scripts/replicas.py load "http://127.0.0.1:$FRONT" "http://127.0.0.1:$P1" "$QUERIES" "$RATE" "$TMP/progress" \
    >"$TMP/load.out" 2>&1 &
LOAD_PID=$!
progress() { cat "$TMP/progress" 2>/dev/null || echo 0; }
for _ in $(seq 1 600); do
    [ "$(progress)" -ge $((QUERIES / 4)) ] && break
    kill -0 "$LOAD_PID" 2>/dev/null || break
    sleep 0.1
done
[ "$(progress)" -ge $((QUERIES / 4)) ] || fail "the load did not get going within 60 s"
stopped_at=$(progress)
pid=${REPLICA[2]}
kill -TERM "$pid"
rc=0
gone_within "$pid" 15 || fail "replica 2 did not stop within 15 s of SIGTERM"
wait "$pid" || rc=$?
unset 'REPLICA[2]'
[ "$rc" -eq 0 ] || fail "replica 2 exited with $rc on SIGTERM"
start_replica 2 "$P2"
restarted_at=$(progress)
echo "replica 2 stopped after $stopped_at answers, ready again after $restarted_at"
[ "$restarted_at" -lt "$QUERIES" ] || fail "the load ended before replica 2 was back; raise REPLICA_TEST_QUERIES"
rc=0
gone_within "$LOAD_PID" 300 || fail "the load did not end within 300 s"
wait "$LOAD_PID" || rc=$?
LOAD_PID=""
cat "$TMP/load.out"
# Replica 1 also gave the reference answers; replica 2's count is split at its restart.
for n in 1 2 3; do
    awk -v n="$n" '/listening on/ { starts++ } /^GET \/GetTextByPos/ { q[starts]++ }
        END { printf "replica %d answered", n; for (i = 1; i <= starts; i++) printf " %d", q[i] + 0;
              print (starts > 1 ? " queries (before and after its restart)" : " queries") }' "$TMP/replica$n.log"
done
[ "$rc" -eq 0 ] || fail "queries failed or answers differed"
echo "test-replicas: passed"
