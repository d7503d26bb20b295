#!/usr/bin/env bash
# Every test again under the address and undefined-behaviour sanitizers.
set -euo pipefail
scripts/lib/ensure-packages cmake ninja-build g++ googletest libgtest-dev
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
