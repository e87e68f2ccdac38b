#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the
# portable core natively, again under AddressSanitizer and UBSan, and the
# Windows build under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

step() { printf '\n==== %s ====\n' "$*"; }

for preset in native native-asan; do
    step "$preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    step "$preset: test"
    ctest --preset "$preset"
done

step "win32: build"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2

# Wine keeps a server per prefix alive after its last program; stop it
# whatever happens, so the run leaves nothing behind.
export WINEPREFIX="$root/build/win32/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
step "win32: test under Wine"
scripts/with-xvfb.sh ctest --preset win32

# Every fuzz target briefly (clang, ASan, UBSan), so a regression that the
# chosen test cases miss can still show; scripts/fuzz.sh runs them longer.
step "fuzz: every target for 30 seconds"
scripts/fuzz.sh 30
