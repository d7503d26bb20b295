#!/usr/bin/env bash
# The Linux build: the module, the tools and every test suite.
set -euo pipefail
scripts/lib/ensure-packages cmake ninja-build g++ googletest libgtest-dev
cmake --preset default
cmake --build --preset default
ctest --preset default
