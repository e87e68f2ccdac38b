#!/usr/bin/env bash
# Starts and stops the bundled lookup service for the run command.
#   scripts/run-service.sh start        build if needed; start unless something already answers
#   scripts/run-service.sh stop         stop the service that `start` started, if any
#   scripts/run-service.sh wrap CMD...  start, run CMD, then stop what was started
# Only a service started here is ever stopped here (its pid is kept in the build tree).
# LUMENO_SERVICE_BUILD=build/win32 starts the Windows build under Wine instead (scripts/lookupd-wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${LUMENO_SERVICE_BUILD:-build/native}
WINDOWS=""
grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw' "$BUILD/CMakeCache.txt" 2>/dev/null && WINDOWS=1
LISTEN=${LUMENO_SERVICE_LISTEN:-127.0.0.1:18360}
HOST=${LISTEN%:*}
PORT=${LISTEN##*:}
PIDFILE="$BUILD/service/lookupd.pid"
LOG="$BUILD/service/lookupd.log"

answers() { (exec 3<>"/dev/tcp/$HOST/$PORT") 2>/dev/null; }

# True while the pid is still the service started here: a pid file left behind
# by a crash may name a process that has since been given the same number.
ours() {
    local cmdline
    cmdline=$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null) || return 1
    case "$cmdline" in
        *lumeno-lookupd*" --listen $LISTEN"* | *lookupd-wine.sh" --listen $LISTEN"*) return 0 ;;
        *) return 1 ;;
    esac
}

start() {
    if answers; then
        echo "run-service: a lookup service already answers on $LISTEN"
        return 0
    fi
    [ -f "$BUILD/CMakeCache.txt" ] || cmake --preset native -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target lumeno-lookupd lookupd-index
    if [ -n "$WINDOWS" ]; then
        LOOKUPD_EXE="$PWD/$BUILD/service/lumeno-lookupd.exe" scripts/lookupd-wine.sh --listen "$LISTEN" 2>>"$LOG" &
    else
        "$BUILD/service/lumeno-lookupd" --listen "$LISTEN" 2>>"$LOG" &
    fi
    echo $! >"$PIDFILE"
    # Wine may first have to set up its prefix: up to 60 s there, 10 s natively.
    for _ in $(seq 1 "$([ -n "$WINDOWS" ] && echo 1200 || echo 200)"); do
        if answers; then
            echo "run-service: lookup service on $LISTEN (pid $(cat "$PIDFILE"), log $LOG)"
            return 0
        fi
        if ! kill -0 "$(cat "$PIDFILE")" 2>/dev/null; then
            rm -f "$PIDFILE"
            echo "run-service: the lookup service did not start; see $LOG" >&2
            tail -3 "$LOG" >&2
            return 1
        fi
        sleep 0.05
    done
    echo "run-service: the lookup service did not answer in time" >&2
    stop
    return 1
}

stop() {
    [ -f "$PIDFILE" ] || return 0
    local pid
    pid=$(cat "$PIDFILE")
    rm -f "$PIDFILE"
    kill -0 "$pid" 2>/dev/null || return 0
    if ! ours "$pid"; then
        echo "run-service: pid $pid is no longer the lookup service started here; not stopping it" >&2
        return 0
    fi
    kill -TERM "$pid"
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || { echo "run-service: lookup service stopped"; return 0; }
        sleep 0.05
    done
    echo "run-service: the lookup service ignored SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    wrap)
        shift
        start
        trap stop EXIT
        "$@"
        ;;
    *)
        echo "usage: scripts/run-service.sh start | stop | wrap CMD..." >&2
        exit 2
        ;;
esac
