#!/usr/bin/env bash
# The builds users and packagers type, not only ours: a plain Release configuration with the
# compiler's own default generator and no warnings as errors, and clang (with them).
set -euo pipefail
scripts/lib/ensure-packages build test compilers

echo "--- plain Release build"
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=Release
cmake --build build/plain -j "$(nproc)" 2>&1 | tee build/plain/build.log | grep -E 'warning|error' || true
(cd build/plain && ctest --output-on-failure -j "$(nproc)")

echo "--- clang"
scripts/lib/preset-suite clang compilers
