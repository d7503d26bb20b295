#!/usr/bin/env bash
# Every test again under the address and undefined-behaviour sanitizers.
set -euo pipefail
source scripts/lib/linux-packages
scripts/lib/ensure-packages "${ZUDOR_LINUX_PACKAGES[@]}" "${ZUDOR_TEST_PACKAGES[@]}"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
