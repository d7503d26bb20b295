#!/usr/bin/env bash
# Every test again under the thread sanitizer (the remote suite in the remote leg);
# robustness_tests drives contexts on several threads at once through the loaded module, and
# cli_tests runs sievecheck (instrumented too) with several jobs over thousands of documents,
# round every worker's ring of batches. The same build measures the module's coverage (the
# sanitizer's checks are added after the branches are counted), and the gate follows: every
# line of the module must run and at least 95% of its branches go both ways.
set -euo pipefail
scripts/lib/ensure-packages build test coverage
cmake --preset tsan
cmake --build --preset tsan
find build/tsan -name '*.gcda' -delete
ctest --preset tsan -j "$(nproc)" -E '^remote_tests$'
gcovr --root . --filter 'Core/src/Readers/zudor/' --exclude-unreachable-branches --exclude-throw-branches \
    --txt --print-summary --fail-under-line 100 --fail-under-branch 95 build/tsan
