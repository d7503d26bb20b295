#!/usr/bin/env bash
# The Windows build: ZUDOR.dll and every test suite cross-built with mingw-w64, the suites run
# under Wine, headless, in a prefix of their own under build/windows.
set -euo pipefail
scripts/lib/ensure-packages cmake ninja-build g++-mingw-w64-x86-64 googletest wine wine64
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cmake --preset windows
cmake --build --preset windows
# One Wine server and the prefix's services for the whole run. Started here with their output
# sent away, they hold no test's output pipe open and no test waits for them to start or stop.
mkdir -p "$WINEPREFIX"
wineserver -p30 >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1
ctest --preset windows
