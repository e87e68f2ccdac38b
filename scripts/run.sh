#!/usr/bin/env bash
# Installs what is missing, builds the Windows program and the lookup
# service, starts the service and opens the program under Wine (on the
# user's display, or a private Xvfb when there is none).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target Lumeno

export WINEPREFIX="$root/build/win32/wineprefix"
program="$root/build/win32/src/Lumeno.exe"
# The bundled lookup service answers the program's queries; it is started
# unless one already answers, and stopped again when the program ends.
if [ -n "${DISPLAY:-}" ]; then
    exec scripts/run-service.sh wrap scripts/wine-run.sh "$program"
else
    exec scripts/run-service.sh wrap scripts/with-xvfb.sh scripts/wine-run.sh "$program"
fi
