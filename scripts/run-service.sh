#!/usr/bin/env bash
# Starts and stops the bundled lookup service for the run command.
#   scripts/run-service.sh start        build if needed; start unless something already answers
#   scripts/run-service.sh stop         stop the service that `start` started, if any
#   scripts/run-service.sh wrap CMD...  start, run CMD, then stop what was started
# Only a service started here is ever stopped here (its pid is kept in the build tree).
# LUMENO_SERVICE_BUILD=build/win32 starts the Windows build under Wine instead (scripts/lookupd-wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
BUILD=${LUMENO_SERVICE_BUILD:-build/native}
WINDOWS=""
grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw' "$BUILD/CMakeCache.txt" 2>/dev/null && WINDOWS=1
LISTEN=${LUMENO_SERVICE_LISTEN:-127.0.0.1:18360}
HOST=${LISTEN%:*}
PORT=${LISTEN##*:}
PIDFILE="$BUILD/service/lookupd.pid"
LOG="$BUILD/service/lookupd.log"

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
    if answers "$HOST" "$PORT"; then
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
    local pid=$!
    echo "$pid" >"$PIDFILE"
    # Wine may first have to set up its prefix: up to 60 s there, 10 s natively.
    if wait_port "$HOST" "$PORT" "$([ -n "$WINDOWS" ] && echo 60 || echo 10)" "$pid"; then
        echo "run-service: lookup service on $LISTEN (pid $pid, log $LOG)"
        return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        rm -f "$PIDFILE"
        echo "run-service: the lookup service did not start; see $LOG" >&2
        tail -3 "$LOG" >&2
        return 1
    fi
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
    if stop_pid "$pid" 5; then
        echo "run-service: lookup service stopped"
    else
        echo "run-service: the lookup service ignored SIGTERM for 5 s; killed it" >&2
    fi
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
