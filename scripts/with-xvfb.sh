#!/usr/bin/env bash
# Runs a command with DISPLAY set to a private Xvfb server, started here and
# stopped when the command ends (whatever way it ends). Xvfb picks a free
# display number itself and reports it.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
fifo_dir=$(mktemp -d)
mkfifo "$fifo_dir/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo_dir/display" >/dev/null 2>&1 &
xvfb_pid=$!
stop() {
    # Wine keeps helper processes (its desktop) tied to this display after
    # the last program; they go with it, or the next Wine run would use them.
    if [ -n "${WINEPREFIX:-}" ] && [ -x "$WINE_SERVER_BIN" ]; then
        "$WINE_SERVER_BIN" -k >/dev/null 2>&1 || true
    fi
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null || true
    rm -rf "$fifo_dir"
}
trap stop EXIT
# Xvfb writes the number once it accepts connections; 10 s at most.
display=""
read -r -t 10 display <"$fifo_dir/display" || true
[ -n "$display" ] || { echo "with-xvfb: Xvfb did not report a display" >&2; exit 1; }
DISPLAY=":$display" "$@"
