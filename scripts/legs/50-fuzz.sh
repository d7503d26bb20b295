#!/usr/bin/env bash
# Each libFuzzer target for a bounded time, from the seed corpus, two at a time (a fuzzer keeps
# one core busy). Any finding fails the leg and is printed in base64, so it can be replayed
# (see fuzz/README.md).
#   ZUDOR_FUZZ_SECONDS   time for document_fuzzer (default 120); xmp_lister_fuzzer, remote_fuzzer,
#                        record_fuzzer and view_codec_fuzzer get half, date_time_fuzzer a quarter
set -euo pipefail
# The host library too, for record_fuzzer and view_codec_fuzzer.
scripts/lib/ensure-packages build fuzz
cmake --preset fuzz -DZUDOR_BUILD_TESTS=OFF
cmake --build --preset fuzz --target fuzzers

bin=build/fuzz/bin
work=build/fuzz/work
rm -rf "$work"
mkdir -p "$work"/{seeds,corpus,date-seeds,date-corpus,xmp-seeds,xmp-corpus,remote-seeds,remote-corpus,findings}
"$bin"/seed_corpus "$work/seeds" --script
/usr/bin/python3 tests/xmp/make_packets.py "$work/xmp-seeds" --count 1000
i=0
for date in '2024:02:29 13:45:00' '1970:01:01 00:00:00' '3000:12:31 23:59:59' '2000:-23:1000000 0:0:0' \
            '5477000:1:-2000000000 0:0:0' '1970:1:1 -2147483648:0:0'; do
    printf '%s' "$date" > "$work/date-seeds/$((i += 1))"
done

# What servers answer: the first byte picks a listing, a response field, a URL or windows.
printf '\000\020<?xml version="1.0"?><ListBucketResult><EncodingType>url</EncodingType><IsTruncated>true</IsTruncated><Contents><Key>a%%2Fb+c.tif</Key><Size>12</Size><ETag>&quot;9b2c-1f&quot;</ETag></Contents><NextContinuationToken>t/1=</NextContinuationToken></ListBucketResult>' >"$work/remote-seeds/listing"
printf '\000\001<Error><Code>SlowDown</Code></Error>' >"$work/remote-seeds/error"
printf '\001bytes 0-65535/104857600' >"$work/remote-seeds/range"
printf '\001Sun, 06 Nov 1994 08:49:37 GMT' >"$work/remote-seeds/date"
printf '\002https://u:p@h:1/k.tif?X-Amz-Signature=a&v=1#f' >"$work/remote-seeds/url"
printf '\002s3://bucket/pre/fix/' >"$work/remote-seeds/s3"
printf '\003\000\000\377\000\000\010\010\001\100\000\010\002' >"$work/remote-seeds/windows"

# The seed documents, each behind a byte that picks the XMP mode and the cap.
mkdir -p "$work/record-plain"
"$bin"/seed_corpus "$work/record-plain"
mkdir -p "$work/record-seeds" "$work/record-corpus"
for f in "$work"/record-plain/*; do
    for mode in 0 3; do
        { printf "\\00$mode"; cat "$f"; } > "$work/record-seeds/$mode-$(basename "$f")"
    done
done
# The views reader processes send for the same documents, as their parent decodes them.
mkdir -p "$work/view-seeds" "$work/view-corpus"
"$bin"/view_seeds "$work/view-seeds" "$work"/record-plain/*

seconds=${ZUDOR_FUZZ_SECONDS:-120}
# A run that takes this long on one input is a finding (an endless loop): far beyond the
# microseconds an input takes, however loaded the machine.
timeout=30
fuzz() {
    local name=$1 time=$2
    shift 2
    local status=0
    "$bin/$name" -max_total_time="$time" -timeout=$timeout -print_final_stats=1 \
        -artifact_prefix="$work/findings/$name-" "$@" > "$work/$name.log" 2>&1 || status=$?
    echo "$status" > "$work/$name.status"
}
report() {
    local name=$1 status
    status=$(cat "$work/$name.status")
    echo "--- $name"
    grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' \
        "$work/$name.log" || true
    local findings=("$work/findings/$name-"*)
    if [ "$status" -ne 0 ] || [ -e "${findings[0]}" ]; then
        echo "$name FAILED (status $status); the end of its log:"
        grep -v '# Uses:' "$work/$name.log" | tail -n 40
        for f in "${findings[@]}"; do
            [ -e "$f" ] || continue
            echo "reproducer $(basename "$f"), base64:"
            base64 -w 100 "$f"
        done
        return 1
    fi
}
# Two lanes of about the same length.
echo "--- document_fuzzer and record_fuzzer beside xmp_lister_fuzzer, date_time_fuzzer, remote_fuzzer" \
     "and view_codec_fuzzer ($(( seconds * 3 / 2 )) s and $(( seconds * 7 / 4 )) s)"
(
    fuzz document_fuzzer "$seconds" -dict=fuzz/tiff.dict -max_len=4096 "$work/corpus" "$work/seeds"
    fuzz record_fuzzer $((seconds / 2)) -dict=fuzz/tiff.dict -max_len=4096 "$work/record-corpus" "$work/record-seeds"
) &
first=$!
fuzz xmp_lister_fuzzer $((seconds / 2)) -dict=fuzz/xmp.dict -max_len=8192 "$work/xmp-corpus" "$work/xmp-seeds"
fuzz date_time_fuzzer $((seconds / 4)) -dict=fuzz/tiff.dict -max_len=20 -use_value_profile=1 "$work/date-corpus" \
    "$work/date-seeds"
fuzz remote_fuzzer $((seconds / 2)) -max_len=2048 "$work/remote-corpus" "$work/remote-seeds"
fuzz view_codec_fuzzer $((seconds / 2)) -max_len=8192 "$work/view-corpus" "$work/view-seeds"
wait "$first"
failed=0
for name in document_fuzzer record_fuzzer xmp_lister_fuzzer date_time_fuzzer remote_fuzzer view_codec_fuzzer; do
    report "$name" || failed=1
done
exit $failed
