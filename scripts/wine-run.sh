#!/usr/bin/env bash
# Runs a Windows executable under Wine the way the tests expect it: a private
# prefix (WINEPREFIX, else one inside the current build tree), the Chinese
# locale so that the ANSI code page is GBK (936), and no Wine debug chatter.
set -euo pipefail
export LC_ALL=zh_CN.UTF-8
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="$PWD/wineprefix"
fi
exec wine "$@"
