#!/usr/bin/env bash
# The Linux build: the module, the tools and every test suite.
set -euo pipefail
source scripts/lib/linux-packages
scripts/lib/ensure-packages "${ZUDOR_LINUX_PACKAGES[@]}" "${ZUDOR_TEST_PACKAGES[@]}"
cmake --preset default
cmake --build --preset default
ctest --preset default
