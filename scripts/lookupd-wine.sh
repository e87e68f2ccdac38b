#!/usr/bin/env bash
# Runs the Windows build of the lookup service under Wine with the native one's command line,
# so that anything that starts lumeno-lookupd (the protocol tests through LOOKUPD_BIN,
# run-service.sh) can start this one instead.
#   LOOKUPD_EXE   the .exe (default build/win32/service/lumeno-lookupd.exe)
# Wine ends a program at SIGTERM without telling it, and Windows has no such signal: a TERM or
# INT sent here becomes the console's Ctrl-C (Wine passes SIGINT on as one), the service's clean stop.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exe=${LOOKUPD_EXE:-$here/build/win32/service/lumeno-lookupd.exe}
export WINEPREFIX=${WINEPREFIX:-$(dirname "$(dirname "$exe")")/wineprefix}
"$here/scripts/wine-run.sh" "$exe" "$@" &
pid=$!
trap 'kill -INT $pid 2>/dev/null' TERM INT
rc=0
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid"
    rc=$?
done
exit "$rc"
