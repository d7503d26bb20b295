#!/usr/bin/env bash
# The builds users and packagers type, not only ours: a plain Release configuration with the
# compiler's own default generator and no warnings as errors, and clang (with them).
set -euo pipefail
scripts/lib/ensure-packages build test compilers

echo "--- plain Release build"
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=Release
# Its warnings are shown, not fatal; a failed build fails the leg.
cmake --build build/plain -j "$(nproc)" >build/plain/build.log 2>&1 ||
    { tail -n 60 build/plain/build.log; echo "the plain Release build failed"; exit 1; }
grep -E 'warning|error' build/plain/build.log || true
(cd build/plain && ctest --output-on-failure -j "$(nproc)")

echo "--- clang"
scripts/lib/preset-suite clang compilers
