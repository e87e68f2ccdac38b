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
# Once asked to stop, the Ctrl-C is repeated every 2 s until the service ends: a clean run saw
# the service go on serving after the first one, and a stop already under way ignores more.
asked=
trap 'kill -INT $pid 2>/dev/null; asked=$SECONDS' TERM INT
while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$asked" ]; then
        wait "$pid"
    elif [ $((SECONDS - asked)) -ge 2 ]; then
        kill -INT "$pid" 2>/dev/null
        asked=$SECONDS
    else
        sleep 0.2
    fi
done
wait "$pid"
exit $?
