#!/usr/bin/env bash
# Installs what is missing, builds the Windows program and the lookup
# service, starts the service and opens the program under Wine.
#   bash scripts/run.sh              on a display: the window, for you to use
#   bash scripts/run.sh [LON LAT]    without one (or with a position): one query
#                                    through the real window (the example's
#                                    position unless given), its answer printed
#                                    and a screenshot of the window saved
# The 32-bit Windows program runs where this kernel runs 32-bit programs; the
# 64-bit one elsewhere, or with LUMENO_WIN64_ONLY=1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
source scripts/wine-env.sh
source scripts/lib.sh
build=win32
if [ -n "${LUMENO_WIN64_ONLY:-}" ]; then
    no32="LUMENO_WIN64_ONLY is set"
elif ! no32=$(why_no_win32); then
    no32=""
fi
if [ -n "$no32" ]; then
    if no64=$(why_no_win64); then
        echo "run: no Windows build can run here. 32-bit: $no32. 64-bit: $no64." >&2
        exit 1
    fi
    build=win64
    echo "run: running the 64-bit Windows program: $no32"
fi
export LUMENO_WINE_ARCH=$build
cmake --preset "$build" >/dev/null
cmake --build --preset "$build" -j2 --target Lumeno lumeno_drive

export WINEPREFIX="$root/build/$build/wineprefix"
program="$root/build/$build/src/app/Lumeno.exe"
# The bundled lookup service answers the program's queries; it is started
# unless one already answers, and stopped again when the program ends.
if [ -n "${DISPLAY:-}" ] && [ $# -eq 0 ]; then
    exec scripts/run-service.sh wrap scripts/wine-run.sh "$program"
fi
if [ $# -ne 0 ] && [ $# -ne 2 ]; then
    echo "usage: bash scripts/run.sh [LONGITUDE LATITUDE]" >&2
    exit 2
fi

# One query: the program opens, a driver fills in the position (or clicks
# the example), presses the query button, reads line 1, saves the window and
# closes it. Every wait is bounded; nothing is left running.
export LUMENO_RUN_LON=${1:-example} LUMENO_RUN_LAT=${2:--}
export LUMENO_RUN_SHOT="$root/build/$build/run-window.bmp"
one_query() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 scripts/wine-run.sh wineboot -i >/dev/null 2>&1
    fi
    scripts/wine-run.sh "$program" &
    local shown=$! rc=0
    timeout 180 scripts/wine-run.sh "build/$LUMENO_WINE_ARCH/tests/lumeno_drive.exe" \
        "$LUMENO_RUN_LON" "$LUMENO_RUN_LAT" "Z:$LUMENO_RUN_SHOT" || rc=$?
    if ! gone_within "$shown" 10; then
        echo "run: the program did not end; stopping it" >&2
        stop_pid "$shown" 5 || true
        rc=1
    fi
    wait "$shown" 2>/dev/null || true
    # Wine's own helpers go before the private X server does.
    timeout 15 "$WINE_SERVER_BIN" -w || "$WINE_SERVER_BIN" -k || true
    return "$rc"
}
export -f one_query gone_within stop_pid
export program
if [ -n "${DISPLAY:-}" ]; then
    scripts/run-service.sh wrap bash -c one_query
else
    scripts/run-service.sh wrap scripts/with-xvfb.sh bash -c one_query
fi
png="${LUMENO_RUN_SHOT%.bmp}.png"
/usr/bin/convert "$LUMENO_RUN_SHOT" -strip "$png"
rm -f "$LUMENO_RUN_SHOT"
echo "screenshot: $png"
