# Sourced by the scripts that run Windows programs: Wine's loader and server
# called directly, for the build in hand. Debian's `wine` wrapper always takes
# the 32-bit loader when it is installed, and that loader cannot start on a
# kernel that runs no 32-bit programs.
#   wine_for win32|win64     exports WINELOADER, WINESERVER and WINEARCH
#   WINE_SERVER_BIN          the server to stop or wait for (-k, -w), either build's
#   pe_arch FILE             win64 for an x86-64 program, win32 for any other
#   why_no_win32             prints why the 32-bit build cannot run here, and
#                            succeeds; fails (prints nothing) when it can run
#   why_no_win64             the same for the 64-bit build
WINE_LIB=${WINE_LIB:-/usr/lib/wine}
# The 64-bit server serves 32-bit programs too, and is the one that starts on
# every x86-64 kernel.
if [ -x "$WINE_LIB/wineserver64" ]; then
    export WINE_SERVER_BIN="$WINE_LIB/wineserver64"
else
    export WINE_SERVER_BIN="$WINE_LIB/wineserver32"
fi

wine_for() {
    case "$1" in
        win32) export WINELOADER="$WINE_LIB/wine" ;;
        win64) export WINELOADER="$WINE_LIB/wine64" ;;
        *) echo "wine_for: no such Windows build: $1" >&2; return 2 ;;
    esac
    export WINEARCH=$1 WINESERVER=$WINE_SERVER_BIN
}

pe_arch() {
    local at machine
    # The PE header's offset is at byte 60; its machine field follows "PE\0\0".
    at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || true
    machine=$([ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' ') || true
    if [ "$machine" = 8664 ]; then echo win64; else echo win32; fi
}

# Tries the loader itself: only running it tells whether the kernel will.
why_not_runnable() {
    local loader=$1 package=$2 out
    if [ ! -x "$loader" ]; then
        echo "Wine's loader $loader is missing (package $package; bash scripts/setup.sh installs it)"
        return 0
    fi
    if out=$("$loader" --version 2>&1); then
        return 1
    fi
    case "$out" in
        *"Exec format error"*) echo "this kernel runs no 32-bit programs (its 32-bit emulation is off)" ;;
        *) echo "$loader --version failed: $(printf '%s' "$out" | tail -1)" ;;
    esac
}
why_no_win32() { why_not_runnable "$WINE_LIB/wine" wine32:i386; }
why_no_win64() { why_not_runnable "$WINE_LIB/wine64" wine64; }
