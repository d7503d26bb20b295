#!/usr/bin/env bash
# Every test again under the thread sanitizer; robustness_tests drives contexts on several
# threads at once through the loaded module.
set -euo pipefail
source scripts/lib/linux-packages
scripts/lib/ensure-packages "${ZUDOR_LINUX_PACKAGES[@]}" "${ZUDOR_TEST_PACKAGES[@]}"
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan
