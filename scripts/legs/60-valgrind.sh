#!/usr/bin/env bash
# sievecheck under valgrind memcheck over the generated documents, 500 generated XMP packets
# each in a TIFF (and the shared corpus when it is there), with raw XMP, parsed by the lister
# and by the toolkit, and the robustness suites under memcheck: any memory error or definite
# leak fails the leg.
set -euo pipefail
scripts/lib/ensure-packages build valgrind
cmake --preset default
cmake --build --preset default --target zudor sievecheck seed_corpus robustness_tests fault_sweep_tests

bin=build/default/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/docs"
"$bin"/seed_corpus "$work/docs"
/usr/bin/python3 tests/xmp/make_packets.py "$work/packets" --count 500
/usr/bin/python3 scripts/lib/crossplatform.py packets "$work/packets" "$work/docs/xmp"
dirs=("$work/docs")
[ -d ../shared/corpus ] && dirs+=(../shared/corpus)
documents=$(find "${dirs[@]}" -type f | wc -l)
inputs=()
for dir in "${dirs[@]}"; do inputs+=(-i "$dir"); done

memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect)
# --any-file: every file reaches the reader and has its record, the shared corpus's BigTIFF and
# README among them, which a walk would otherwise skip.
for xmp in raw parsed toolkit; do
    echo "--- sievecheck --xmp $xmp over $documents documents"
    status=0
    TZ=UTC "${memcheck[@]}" "$bin"/sievecheck "${inputs[@]}" "$work/out-$xmp.jsonl" --format json \
        --xmp "$xmp" --jobs 2 --quiet --any-file || status=$?
    # 1 only says that some summaries are partial, as hostile documents make them.
    if [ $status -gt 1 ]; then
        echo "sievecheck under memcheck exited $status"
        exit 1
    fi
    lines=$(wc -l < "$work/out-$xmp.jsonl")
    [ "$lines" -eq "$documents" ] || { echo "$lines records for $documents documents"; exit 1; }
done
for suite in robustness_tests fault_sweep_tests; do
    echo "--- $suite"
    "${memcheck[@]}" "$bin/$suite" --gtest_brief=1
done
