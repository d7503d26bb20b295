#!/usr/bin/env bash
# Remote inputs against loopback servers the tests start and stop themselves (nginx for HTTP
# and HTTPS with HTTP/2, the S3 endpoint of tests/remote): on the Linux build, then under the
# thread sanitizer, which watches the I/O thread hand documents to the workers. The linux and
# tsan legs leave the suite to this one.
set -euo pipefail
scripts/lib/ensure-packages build test
for preset in default tsan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset" -R '^remote_tests$'
done
