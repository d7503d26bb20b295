#!/usr/bin/env bash
# Remote inputs against loopback servers the tests start and stop themselves (nginx for HTTP
# and HTTPS with HTTP/2, the S3 endpoint of tests/remote): on the Linux build, then under the
# thread sanitizer, which watches the I/O thread hand documents to the workers.
set -euo pipefail
source scripts/lib/linux-packages
scripts/lib/ensure-packages "${ZUDOR_LINUX_PACKAGES[@]}" "${ZUDOR_TEST_PACKAGES[@]}"
for preset in default tsan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset" -R remote
done
