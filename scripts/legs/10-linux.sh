#!/usr/bin/env bash
# The Linux build: the module, the tools and every test suite (the remote suite in the remote
# leg).
set -euo pipefail
scripts/lib/preset-suite default -- -E '^remote_tests$'
