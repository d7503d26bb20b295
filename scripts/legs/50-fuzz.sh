#!/usr/bin/env bash
# Each libFuzzer target for a bounded time, from the seed corpus. Any finding fails the leg
# and is printed in base64, so it can be replayed (see fuzz/README.md).
#   ZUDOR_FUZZ_SECONDS   time for document_fuzzer (default 120); xmp_lister_fuzzer gets half,
#                        date_time_fuzzer a quarter
set -euo pipefail
scripts/lib/ensure-packages cmake ninja-build clang libclang-rt-14-dev pkg-config libexempi-dev libexpat1-dev python3
cmake --preset fuzz -DZUDOR_BUILD_TESTS=OFF -DZUDOR_BUILD_TOOLS=OFF
cmake --build --preset fuzz --target fuzzers

bin=build/fuzz/bin
work=build/fuzz/work
rm -rf "$work"
mkdir -p "$work"/{seeds,corpus,date-seeds,date-corpus,xmp-seeds,xmp-corpus,findings}
"$bin"/seed_corpus "$work/seeds" --script
python3 tests/xmp/make_packets.py "$work/xmp-seeds" --count 1000
i=0
for date in '2024:02:29 13:45:00' '1970:01:01 00:00:00' '3000:12:31 23:59:59' '2000:-23:1000000 0:0:0' \
            '5477000:1:-2000000000 0:0:0' '1970:1:1 -2147483648:0:0'; do
    printf '%s' "$date" > "$work/date-seeds/$((i += 1))"
done

seconds=${ZUDOR_FUZZ_SECONDS:-120}
failed=0
fuzz() {
    local name=$1 time=$2
    shift 2
    echo "--- $name for $time s"
    local status=0
    "$bin/$name" -max_total_time="$time" -timeout=5 -print_final_stats=1 \
        -artifact_prefix="$work/findings/$name-" "$@" > "$work/$name.log" 2>&1 || status=$?
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' \
        "$work/$name.log" || true
    local findings=("$work/findings/$name-"*)
    if [ $status -ne 0 ] || [ -e "${findings[0]}" ]; then
        failed=1
        echo "$name FAILED (status $status); the end of its log:"
        grep -v '# Uses:' "$work/$name.log" | tail -n 40
        for f in "${findings[@]}"; do
            [ -e "$f" ] || continue
            echo "reproducer $(basename "$f"), base64:"
            base64 -w 100 "$f"
        done
    fi
}
fuzz document_fuzzer "$seconds" -dict=fuzz/tiff.dict -max_len=4096 "$work/corpus" "$work/seeds"
fuzz xmp_lister_fuzzer $((seconds / 2)) -dict=fuzz/xmp.dict -max_len=8192 "$work/xmp-corpus" "$work/xmp-seeds"
fuzz date_time_fuzzer $((seconds / 4)) -dict=fuzz/tiff.dict -max_len=20 -use_value_profile=1 "$work/date-corpus" \
    "$work/date-seeds"
exit $failed
