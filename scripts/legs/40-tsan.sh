#!/usr/bin/env bash
# Every test again under the thread sanitizer; robustness_tests drives contexts on several
# threads at once through the loaded module, and cli_tests runs sievecheck (instrumented too)
# with several jobs over thousands of documents, round every worker's ring of batches.
set -euo pipefail
scripts/lib/preset-suite tsan
