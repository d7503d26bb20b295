#!/usr/bin/env bash
# The same answers on both platforms: sievecheck.exe under Wine and the Linux sievecheck read
# the same documents (the bench corpus, the fuzz seeds, the seeds cut at every length, dates
# at the edges of local time, the generated XMP packets each in a TIFF, ../shared/corpus when
# present) from the same relative paths and must write the same bytes: JSON and text with the
# packets as text and as parsed by each platform's lister, with TZ=UTC and in a daylight-saving
# zone, and the module's text-output records. In the zone, the documents whose first DateTime
# falls where the platforms' mktime differ are left out (scripts/lib/crossplatform.py says where).
# Then URLs and S3 prefixes from a loopback nginx and S3 endpoint, and catalogues made on each
# platform and read on the other (scripts/lib/crossplatform_remote.py).
set -euo pipefail
# The test group's zones and loopback servers (nginx, the S3 endpoint of tests/remote).
scripts/lib/ensure-packages build test windows
source scripts/lib/wine-session
scripts/lib/expat-source
scripts/lib/windows-deps
cmake --preset default >/dev/null
cmake --build --preset default --target zudor sievecheck seed_corpus
cmake --preset windows >/dev/null
cmake --build --preset windows --target zudor sievecheck

root=$PWD
linux=$root/build/default/bin/sievecheck
windows=$root/build/windows/bin/sievecheck.exe
zone=EST5EDT
work=$(mktemp -d)
trap 'wine_session_stop; rm -rf "$work"' EXIT
wine_session_start

mkdir -p "$work/docs/seeds"
/usr/bin/python3 bench/make_corpus.py "$work/docs/bench" >/dev/null
build/default/bin/seed_corpus "$work/docs/seeds" >/dev/null
/usr/bin/python3 scripts/lib/crossplatform.py documents "$work/docs/seeds" "$work/docs"
/usr/bin/python3 tests/xmp/make_packets.py "$work/packets"
/usr/bin/python3 scripts/lib/crossplatform.py packets "$work/packets" "$work/docs/xmp"
[ -d ../shared/corpus ] && cp -r ../shared/corpus "$work/docs/shared"
documents=$(find "$work/docs" -type f | wc -l)

# Each tool once per configuration (Wine takes seconds to start), from the documents' parent
# folder so that both see the same relative paths. Exit status and messages count too.
cd "$work"
run() { # NAME TZ ARGS...: both tools, outputs in linux-NAME.* and windows-NAME.*
    local name=$1 tz=$2
    shift 2
    local status=0
    TZ=$tz "$linux" "$@" "linux-$name.out" --quiet <"$stdin" 2>"linux-$name.err" || status=$?
    echo "$status" >"linux-$name.status"
    status=0
    TZ=$tz wine "$windows" "$@" "windows-$name.out" --quiet <"$stdin" 2>"windows-$name.err" || status=$?
    echo "$status" >"windows-$name.status"
}
same() { # NAME...: every output of the runs byte for byte
    local name part
    for name in "$@"; do
        for part in out err status; do
            if ! cmp -s "linux-$name.$part" "windows-$name.$part"; then
                echo "cross-platform: $name: the platforms differ ($part):"
                diff "linux-$name.$part" "windows-$name.$part" | head -20
                exit 1
            fi
        done
    done
}

start=$(date +%s)
stdin=docs/seeds/ii-every-tag.tif
common=(--xmp raw --any-file --jobs 2)
# Names given as arguments that are not ASCII, standard input, a file that is not there.
run named UTC -i "docs/dates/zeit-äöü/Δt-🕰.tif" -i - -i docs/missing.tif --format json --xmp raw
run utc-json UTC -i docs --format json "${common[@]}"
run utc-text UTC -i docs --format text "${common[@]}"
run module-text UTC docs
run parsed-json UTC -i docs --format json --any-file --jobs 2
run parsed-text UTC -i docs --format text --any-file --jobs 2
same named utc-json utc-text module-text parsed-json parsed-text
[ "$(wc -l <linux-utc-json.out)" -eq "$documents" ] || { echo "cross-platform: not one record per document"; exit 1; }

# The zone's run keeps to the documents whose first DateTime both platforms read alike.
TZ=$zone "$linux" -i docs --format json "${common[@]}" --quiet >linux-local-all.jsonl 2>/dev/null || true
read -r kept left_out < <(/usr/bin/python3 "$root/scripts/lib/crossplatform.py" admit $zone \
    linux-utc-json.out linux-local-all.jsonl admitted.txt)
run local-json $zone --files-from admitted.txt --format json "${common[@]}"
run local-text $zone --files-from admitted.txt --format text "${common[@]}"
same local-json local-text

# Windows alone: without an XMP toolkit, toolkit mode is refused; a list with CR LF line ends
# names its files.
printf 'docs/seeds/ii-xmp-packet.tif\r\n' >crlf.txt
wine "$windows" --files-from crlf.txt - --format json | grep -q '"properties":\[\["dc:format","image/tiff"\]\]},"error":null,"warnings":\[\]}$' ||
    { echo "cross-platform: sievecheck.exe lost the CR LF list's file or did not parse its packet"; exit 1; }
status=0
wine "$windows" -i docs/seeds/ii-xmp-packet.tif - --xmp toolkit >/dev/null 2>toolkit.err || status=$?
[ $status -eq 2 ] && grep -q "no XMP toolkit" toolkit.err ||
    { echo "cross-platform: sievecheck.exe --xmp toolkit exited $status"; cat toolkit.err; exit 1; }

# The manual says what this build does: HTTP/1.1, profiles under %USERPROFILE%, files told
# apart by size and last write time, zones as TZ rules, no XMP toolkit.
wine "$windows" --help >help.txt
for missing in "HTTP/2" "~/.aws" "inode" "Europe/Berlin" "Exempi"; do
    ! grep -qF "$missing" help.txt || { echo "cross-platform: sievecheck.exe --help speaks of $missing"; exit 1; }
done
for said in "HTTP/1.1 only" '%USERPROFILE%\.aws\credentials' "write time not the same" "EST5EDT" "no XMP toolkit"; do
    grep -qF "$said" help.txt || { echo "cross-platform: sievecheck.exe --help does not say $said"; exit 1; }
done

# URLs, S3 prefixes and catalogues, against servers of their own.
/usr/bin/python3 "$root/scripts/lib/crossplatform_remote.py" "$linux" "$windows" \
    "$root/build/default/bin/seed_corpus" "$work/remote"

echo "cross-platform: $documents documents compared, identical (TZ=UTC: $documents, JSON and text" \
     "with raw and parsed XMP, and text-output records; TZ=$zone: $kept, JSON and text, $left_out" \
     "left out where local time is read differently) in $(( $(date +%s) - start )) s"
[ "$kept" -ge 2000 ] || { echo "cross-platform: fewer than 2,000 documents in each run"; exit 1; }
