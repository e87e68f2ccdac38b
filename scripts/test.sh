#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the
# portable core and the lookup service natively, again under AddressSanitizer
# and UBSan, and the Windows builds under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

step() { printf '\n==== %s ====\n' "$*"; }

# Every GoogleTest program run by a test step writes its own report of cases
# here (a second run of one program gets a file of its own), for the closing
# count. Only the test steps set it: the build lists cases too.
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
report="xml:$results/"

for preset in native native-asan; do
    step "$preset: build"
    cmake --preset "$preset" -DLUMENO_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j2
    step "$preset: test"
    GTEST_OUTPUT=$report ctest --preset "$preset"
done

# The Windows build's lookup service reads the index the native converter made.
step "win32: build"
cmake --preset win32 -DLUMENO_WERROR=ON -DLUMENO_LOOKUP_INDEX_FILE="$root/build/native/service/lookupd.idx" >/dev/null
cmake --build --preset win32 -j2

# Wine keeps a server per prefix alive after its last program; stop it
# whatever happens, so the run leaves nothing behind.
export WINEPREFIX="$root/build/win32/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$results"' EXIT
step "win32: test under Wine"
# The programs under Wine need Windows paths: Wine's drive Z: is the root.
# (Not winepath: a Wine started outside the private display would stay
# behind without one, and the programs started next would share it.)
winpath() { local p; p=$(realpath "$1"); printf 'Z:%s' "${p//\//\\}"; }
report="xml:$(winpath "$results")\\"
GTEST_OUTPUT=$report scripts/with-xvfb.sh ctest --preset win32

# The README's pictures, from the test build of the program with scripted
# answers; the distribution's ImageMagick turns them into PNG files.
step "win32: screenshots"
scripts/with-xvfb.sh scripts/wine-run.sh build/win32/tests/lumeno_ui_tests.exe \
    --screenshots "$(winpath build/win32/tests)"
for picture in main about; do
    /usr/bin/convert "build/win32/tests/$picture.bmp" -strip "build/win32/tests/$picture.png"
done

# The native build's protocol tests, with the Windows service under Wine in
# place of the native one.
step "win32: the lookup service's protocol tests under Wine"
GTEST_OUTPUT="xml:$results/lookupd_tests_wine.xml" LOOKUPD_BIN="$root/scripts/lookupd-wine.sh" \
    build/native/service/lookupd_tests --gtest_color=no \
    --gtest_filter='LiveService.*:ServiceLimits.*:ServiceLifecycle.*'

# The program under Wine against the Windows lookup service under Wine, on a
# port of its own; run-service.sh stops the service it started. Both share
# one Wine server, whose desktop must have the display: the last step's
# server (started without one) is let go first, and the service starts
# inside the display's lifetime.
step "end to end: the program asks the real lookup service, both under Wine"
timeout 30 wineserver -w || true
e2e_listen=127.0.0.1:18461
scripts/with-xvfb.sh env LUMENO_SERVICE_BUILD=build/win32 LUMENO_SERVICE_LISTEN=$e2e_listen \
    scripts/run-service.sh wrap env LUMENO_E2E_LOOKUP_HOST=$e2e_listen GTEST_OUTPUT=$report \
    scripts/wine-run.sh build/win32/tests/lumeno_ui_tests.exe --gtest_filter='RealLookupService.*' --gtest_color=no

# The service as replicas: nginx with the deployment's own file in front of
# three of them, one stopped and started again under load; the unit file checked.
step "replicas: nginx in front of three lookup services"
scripts/test-replicas.sh build/native | tee -a "$results/scripts.log"

# The Windows release as a user gets it: the ZIP unpacked into a fresh Wine
# prefix, started with its start program, one query, nothing left running.
step "package: the Windows release, unpacked and started"
scripts/test-package.sh | tee -a "$results/scripts.log"

# Every fuzz target briefly (clang, ASan, UBSan), so a regression that the
# chosen test cases miss can still show; scripts/fuzz.sh runs them longer.
step "fuzz: every target for 30 seconds"
scripts/fuzz.sh 30

# Reaching this line means every step passed (set -e, pipefail): count the
# cases from the programs' own reports, and each script test (replicas,
# package) as one case by its closing "NAME: passed" line.
python3 - "$results" <<'COUNT'
import glob, os, re, sys
import xml.etree.ElementTree as ET
passed = failed = skipped = 0
for report in glob.glob(sys.argv[1] + "/*.xml"):
    # Programs under Wine write their texts in the ANSI code page (GBK), not UTF-8.
    with open(report, "rb") as f:
        root = ET.fromstring(f.read().decode("utf-8", "replace"))
    for case in root.iter("testcase"):
        if case.get("status") is None:  # a listing, not a run
            continue
        if case.get("status") == "notrun" or case.get("result") in ("skipped", "suppressed") or case.find("skipped") is not None:
            skipped += 1
        elif case.find("failure") is not None:
            failed += 1
        else:
            passed += 1
log = os.path.join(sys.argv[1], "scripts.log")
if os.path.exists(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        passed += sum(1 for line in f if re.fullmatch(r"[\w-]+: passed\n?", line))
if skipped:
    print(f"skipped: {skipped}")
print(f"summary: {passed} passed, {failed} failed")
COUNT
