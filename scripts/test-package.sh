#!/usr/bin/env bash
# Builds a Windows release ZIP and tries it as a user would: unpacked into
# a fresh folder and a fresh Wine prefix of its kind, started with its start program
# (under a private Xvfb), one example query through the window, the window
# closed; then nothing of the package may still run. Before that, the shipped
# index is verified and the batch tool asked once. Prints every file's size.
#   scripts/test-package.sh [win32|win64]     (default win32)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-env.sh
source scripts/lib.sh
build=${1:-win32}
case "$build" in
    win32 | win64) ;;
    *) echo "usage: scripts/test-package.sh [win32|win64]" >&2; exit 2 ;;
esac
export LUMENO_WINE_ARCH=$build

cmake --preset "$build" >/dev/null
cmake --build --preset "$build" -j2 --target all package
zip=$(ls "build/$build"/Lumeno-*-"$build".zip)

# The start program uses the fixed lookup address; a service already there
# would be used instead of the package's own, and prove nothing.
if answers 127.0.0.1 18360; then
    echo "test-package: something already answers on 127.0.0.1:18360; stop it first" >&2
    exit 1
fi

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
trap '"$WINE_SERVER_BIN" -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$root/$zip")
dir=$(echo "$work"/Lumeno-*-"$build")
echo "package: $zip ($(stat -c %s "$zip") bytes)"
(cd "$dir" && find . -type f -printf '%10s  %P\n' | sort -k2)

export dir build
run_package() {
    timeout 300 scripts/wine-run.sh wineboot -i >/dev/null 2>&1
    # The index as shipped, every byte of it (the service's start checks only its tables), and
    # the batch tool finding it beside itself.
    timeout 120 scripts/wine-run.sh "$dir/lumeno-lookupd.exe" --verify ||
        { echo "test-package: the package's index does not verify" >&2; return 1; }
    echo "113.65735 34.79139167" | timeout 120 scripts/wine-run.sh "$dir/lumeno-geocode.exe" --from plain - \
        >"$dir/geocode.txt" || { echo "test-package: lumeno-geocode failed" >&2; return 1; }
    grep -q '^113.65735,34.79139167,河南省,郑州市,金水区,410105,,' "$dir/geocode.txt" ||
        { echo "test-package: lumeno-geocode did not name the example's district:" >&2; cat "$dir/geocode.txt" >&2; return 1; }
    scripts/wine-run.sh "$dir/Lumeno-start.exe" &
    local start=$! rc=0
    timeout 180 scripts/wine-run.sh "build/$build/tests/lumeno_drive.exe" example - "Z:$dir/window.bmp" \
        >"$dir/answer.txt" || rc=$?
    cat "$dir/answer.txt"
    # The start program ends once it has stopped its service.
    if ! gone_within "$start" 15; then
        echo "test-package: the start program did not end after the window closed" >&2
        stop_pid "$start" 5 || true
        return 1
    fi
    # Exit code 3: the service did not stop when asked and had to be ended by force.
    wait "$start" || { echo "test-package: the start program failed (exit code $?)" >&2; return 1; }
    # Whatever Wine still runs in this prefix; the package's service must not be among it.
    timeout 60 scripts/wine-run.sh winedbg --command "info proc" >"$dir/processes.txt" 2>&1 || true
    return "$rc"
}
export -f run_package gone_within stop_pid
fail=0
scripts/with-xvfb.sh bash -c run_package || fail=1
if ! grep -q -- '-> 河南省郑州市金水区' "$dir/answer.txt"; then
    echo "test-package: line 1 does not show 河南省郑州市金水区" >&2
    fail=1
fi
if grep -qi 'lumeno-lookupd' "$dir/processes.txt"; then
    echo "test-package: the package's lookup service is still running:" >&2
    cat "$dir/processes.txt" >&2
    fail=1
fi
if answers 127.0.0.1 18360; then
    echo "test-package: something still answers on 127.0.0.1:18360" >&2
    fail=1
fi
[ "$fail" = 0 ] || exit 1
echo "test-package-$build: passed"
