#!/usr/bin/env bash
# The Linux build: the module, the tools and every test suite.
set -euo pipefail
scripts/lib/preset-suite default
