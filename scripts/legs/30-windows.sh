#!/usr/bin/env bash
# The Windows build: ZUDOR.dll and every test suite cross-built with mingw-w64, the suites run
# under Wine, headless, in a prefix of their own under build/windows.
set -euo pipefail
# The header-only libraries sievecheck.exe and the remote suite compile in; nginx and openssl
# for the loopback HTTPS server of windows_libraries.
scripts/lib/ensure-packages cmake ninja-build g++-mingw-w64-x86-64 googletest wine wine64 rapidjson-dev \
    libcli11-dev nlohmann-json3-dev nginx-light openssl python3
source scripts/lib/wine-session
scripts/lib/expat-source
scripts/lib/windows-deps
cmake --preset windows
cmake --build --preset windows
wine_session_start
trap wine_session_stop EXIT
ctest --preset windows
