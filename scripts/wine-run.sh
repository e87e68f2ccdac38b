#!/usr/bin/env bash
# Runs a Windows executable under Wine the way the tests expect it: the loader
# that fits the program (LUMENO_WINE_ARCH=win32|win64 decides for Wine's own
# programs such as wineboot; win32 when unset), a private prefix (WINEPREFIX,
# else one inside the current build tree), the Chinese locale so that the ANSI
# code page is GBK (936), and no Wine debug chatter.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
arch=${LUMENO_WINE_ARCH:-}
if [ -z "$arch" ]; then
    if [ -f "${1:-}" ]; then arch=$(pe_arch "$1"); else arch=win32; fi
fi
wine_for "$arch"
export LC_ALL=zh_CN.UTF-8
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="$PWD/wineprefix"
fi
# Debian's Wine does not look for its own fonts (fonts-wine) in its data
# folder: without Marlett the frame buttons are drawn as letters. Put them in
# the prefix's Fonts folder, making the prefix first if need be.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ ! -e "$fonts/marlett.ttf" ] && [ -e /usr/share/wine/fonts/marlett.ttf ]; then
    [ -d "$fonts" ] || timeout 300 "$WINELOADER" wineboot -i >/dev/null 2>&1 || true
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/*.ttf "$fonts/"
fi
exec "$WINELOADER" "$@"
