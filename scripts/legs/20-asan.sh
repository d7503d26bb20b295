#!/usr/bin/env bash
# Every test again under the address and undefined-behaviour sanitizers.
set -euo pipefail
scripts/lib/preset-suite asan
