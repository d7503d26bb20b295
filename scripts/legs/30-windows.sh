#!/usr/bin/env bash
# The Windows build: ZUDOR.dll and every test suite cross-built with mingw-w64, the suites run
# under Wine, headless, in a prefix of their own under build/windows.
set -euo pipefail
# The build's header-only libraries and GoogleTest's sources, which the Windows build compiles
# in too; nginx and openssl for the loopback HTTPS server of windows_libraries.
scripts/lib/ensure-packages build test windows
source scripts/lib/wine-session
scripts/lib/expat-source
scripts/lib/windows-deps
cmake --preset windows
cmake --build --preset windows
wine_session_start
trap wine_session_stop EXIT
ctest --preset windows
