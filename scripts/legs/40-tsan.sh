#!/usr/bin/env bash
# Every test again under the thread sanitizer; robustness_tests drives contexts on several
# threads at once through the loaded module.
set -euo pipefail
scripts/lib/preset-suite tsan
