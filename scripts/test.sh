#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the
# portable core natively, again under AddressSanitizer and UBSan, and the
# Windows build under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

step() { printf '\n==== %s ====\n' "$*"; }

# Every test run's output also goes here, for the closing count.
results=$(mktemp)
trap 'rm -f "$results"' EXIT

for preset in native native-asan; do
    step "$preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    step "$preset: test"
    ctest --preset "$preset" | tee -a "$results"
done

step "win32: build"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2

# Wine keeps a server per prefix alive after its last program; stop it
# whatever happens, so the run leaves nothing behind.
export WINEPREFIX="$root/build/win32/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true; rm -f "$results"' EXIT
step "win32: test under Wine"
scripts/with-xvfb.sh ctest --preset win32 | tee -a "$results"

# The program under Wine against the real lookup service of the native
# build, on a port of its own; run-service.sh stops the service it started.
step "end to end: the program asks the real lookup service"
e2e_listen=127.0.0.1:18461
LUMENO_SERVICE_LISTEN=$e2e_listen scripts/run-service.sh wrap \
    env LUMENO_E2E_LOOKUP_HOST=$e2e_listen scripts/with-xvfb.sh \
    scripts/wine-run.sh build/win32/tests/lumeno_ui_tests.exe --gtest_filter='RealLookupService.*' --gtest_color=no |
    tee -a "$results"

# The Windows release as a user gets it: the ZIP unpacked into a fresh Wine
# prefix, started with its start program, one query, nothing left running.
step "package: the Windows release, unpacked and started"
scripts/test-package.sh | tee -a "$results"

# Every fuzz target briefly (clang, ASan, UBSan), so a regression that the
# chosen test cases miss can still show; scripts/fuzz.sh runs them longer.
step "fuzz: every target for 30 seconds"
scripts/fuzz.sh 30

# Reaching this line means every step passed (set -e, pipefail): count the
# CTest entries and the end-to-end case.
passed=$(grep -oE 'tests failed out of [0-9]+' "$results" | awk '{ n += $5 } END { print n + 0 }')
passed=$((passed + $(grep -c '^\[       OK \] RealLookupService' "$results")))
passed=$((passed + $(grep -c '^package: 1 passed, 0 failed$' "$results")))
echo
echo "summary: $passed passed, 0 failed"
