#!/usr/bin/env bash
# Every test on a build that measures the module, then the gate: the module's lines must all
# run and at least 95% of its branches must go both ways.
set -euo pipefail
source scripts/lib/linux-packages
scripts/lib/ensure-packages "${ZUDOR_LINUX_PACKAGES[@]}" "${ZUDOR_TEST_PACKAGES[@]}" gcovr
cmake --preset coverage
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage
gcovr --root . --filter 'Core/src/Readers/zudor/' --exclude-unreachable-branches --exclude-throw-branches \
    --txt --print-summary --fail-under-line 100 --fail-under-branch 95 build/coverage
