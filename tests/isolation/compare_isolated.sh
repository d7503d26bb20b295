#!/usr/bin/env bash
# compare_isolated.sh SIEVECHECK DIR... : every record, message and exit status of sievecheck
# --isolate equal to the same run in process, for JSON and text, raw, parsed and toolkit XMP,
# with and without --any-file, over each DIR; says what differs.
set -u
sc=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
compared=0
for d in "$@"; do
    [ -d "$d" ] || continue
    for xmp in parsed raw toolkit; do
        for fmt in json text; do
            for any in --any-file ""; do
                TZ=UTC "$sc" $any -i "$d" - --format $fmt --xmp $xmp --quiet -j 2 >"$tmp/in" 2>"$tmp/in.err"
                s1=$?
                TZ=UTC "$sc" $any -i "$d" - --format $fmt --xmp $xmp --quiet -j 2 --isolate >"$tmp/iso" 2>"$tmp/iso.err"
                s2=$?
                if cmp -s "$tmp/in" "$tmp/iso" && cmp -s "$tmp/in.err" "$tmp/iso.err" && [ $s1 = $s2 ]; then
                    compared=$((compared + $(wc -l <"$tmp/in")))
                else
                    echo "DIFF: $d --xmp $xmp --format $fmt $any (exit $s1, isolated $s2)"
                    diff "$tmp/in" "$tmp/iso" | head -5
                    diff "$tmp/in.err" "$tmp/iso.err" | head -5
                    status=1
                fi
            done
        done
    done
done
echo "$compared lines compared"
exit $status
