#!/usr/bin/env bash
# Installs what is missing, builds the Windows program and opens it under
# Wine (on the user's display, or a private Xvfb when there is none).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target Lumeno

export WINEPREFIX="$root/build/win32/wineprefix"
program="$root/build/win32/src/Lumeno.exe"
if [ -n "${DISPLAY:-}" ]; then
    exec scripts/wine-run.sh "$program"
else
    exec scripts/with-xvfb.sh scripts/wine-run.sh "$program"
fi
