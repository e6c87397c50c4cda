#!/usr/bin/env bash
# Runs a Windows program under Wine for CMake and ctest (the cross build's
# emulator): wine_run.sh PREFIX PROGRAM [ARGS...]. Its own prefix, no Wine
# chatter, and standard output with LF line ends, as the tests read it.
set -o pipefail
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$wine" "$@" | tr -d '\r'
