#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the
# portable core and the lookup service natively, again under AddressSanitizer
# and UBSan, and the Windows builds under Wine. Exits non-zero on any failure.
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

# The Windows build's lookup service reads the index the native converter made.
step "win32: build"
cmake --preset win32 -DLUMENO_LOOKUP_INDEX_FILE="$root/build/native/service/lookupd.idx" >/dev/null
cmake --build --preset win32 -j2

# Wine keeps a server per prefix alive after its last program; stop it
# whatever happens, so the run leaves nothing behind.
export WINEPREFIX="$root/build/win32/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true; rm -f "$results"' EXIT
step "win32: test under Wine"
scripts/with-xvfb.sh ctest --preset win32 | tee -a "$results"

# The native build's protocol tests, with the Windows service under Wine in
# place of the native one.
step "win32: the lookup service's protocol tests under Wine"
LOOKUPD_BIN="$root/scripts/lookupd-wine.sh" build/native/service/lookupd_tests --gtest_color=no \
    --gtest_filter='LiveService.*:ServiceLimits.*:ServiceLifecycle.*' | tee -a "$results"

# The program under Wine against the Windows lookup service under Wine, on a
# port of its own; run-service.sh stops the service it started. Both share
# one Wine server, whose desktop must have the display: the last step's
# server (started without one) is let go first, and the service starts
# inside the display's lifetime.
step "end to end: the program asks the real lookup service, both under Wine"
timeout 30 wineserver -w || true
e2e_listen=127.0.0.1:18461
scripts/with-xvfb.sh env LUMENO_SERVICE_BUILD=build/win32 LUMENO_SERVICE_LISTEN=$e2e_listen \
    scripts/run-service.sh wrap env LUMENO_E2E_LOOKUP_HOST=$e2e_listen \
    scripts/wine-run.sh build/win32/tests/lumeno_ui_tests.exe --gtest_filter='RealLookupService.*' --gtest_color=no |
    tee -a "$results"

# The service as replicas: nginx with the deployment's own file in front of
# three of them, one stopped and started again under load; the unit file checked.
step "replicas: nginx in front of three lookup services"
scripts/test-replicas.sh build/native | tee -a "$results"

# Every fuzz target briefly (clang, ASan, UBSan), so a regression that the
# chosen test cases miss can still show; scripts/fuzz.sh runs them longer.
step "fuzz: every target for 30 seconds"
scripts/fuzz.sh 30

# Reaching this line means every step passed (set -e, pipefail): count the
# CTest entries, the cases run outside CTest and the replica test.
passed=$(grep -oE 'tests failed out of [0-9]+' "$results" | awk '{ n += $5 } END { print n + 0 }')
passed=$((passed + $(grep -cE '^\[       OK \] (RealLookupService|LiveService|ServiceLimits|ServiceLifecycle)' "$results")))
passed=$((passed + $(grep -c '^test-replicas: passed' "$results")))
echo
echo "summary: $passed passed, 0 failed"
