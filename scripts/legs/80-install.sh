#!/usr/bin/env bash
# What a host developer meets: the example host built against an install tree (with
# find_package and with pkg-config) and run on the sample, and a C++ user of the reference host
# library (zudor::host, every installed header alone); then the packages, the Debian one
# held to lintian, installed, tried from /usr and removed again.
set -euo pipefail
scripts/lib/ensure-packages build package
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

version=$(sed -n 's/^project(ZUDOR VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
sample=samples/sample.tif
work=$(mktemp -d)
installed=0
cleanup() {
    [ $installed = 0 ] || $sudo apt-get purge -y -qq zudor >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# Every host below, sievecheck too, prints the sample's title.
expect_title() {
    local out
    out=$("$@") || { echo "failed: $*"; return 1; }
    grep -q '^  title  *Harbour at dawn$' <<<"$out" || { echo "no title from: $*"; echo "$out"; return 1; }
}

echo "--- cmake --install into a prefix"
cmake --preset default >/dev/null
cmake --build --preset default
prefix=$work/prefix
cmake --install build/default --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libzudor.so.1)")
[ -x "$prefix/bin/sievecheck" ] && [ -f "$prefix/share/man/man1/sievecheck.1.gz" ] &&
    [ -f "$prefix/include/zudor/reader.h" ] || { echo "install tree incomplete"; exit 1; }
soname=$(readelf -d "$libdir/libzudor.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = libzudor.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }

expect_title "$prefix/bin/sievecheck" -i "$sample" - --format text

echo "--- example host with find_package"
cmake -S examples/minimal_host -B "$work/find-package" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/find-package" >/dev/null
expect_title "$work/find-package/minimal_host" "$sample" "$libdir/libzudor.so.1"

echo "--- example host with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # the flags are words
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags zudor) examples/minimal_host/main.c \
    -o "$work/pkg-config-host" -ldl
expect_title "$work/pkg-config-host" "$sample" "$libdir/libzudor.so.1"
unset PKG_CONFIG_PATH

echo "--- the reference host library with find_package(zudor COMPONENTS host)"
# Each installed header of the host library stands alone, and a C++ host links zudor::host.
mkdir -p "$work/host"
for header in "$prefix"/include/zudor_host/*.h; do
    echo "#include \"zudor_host/$(basename "$header")\"" | c++ -std=c++17 -Wall -Wextra -Werror \
        -I"$prefix/include" -fsyntax-only -x c++ - || { echo "$header does not stand alone"; exit 1; }
done
cat >"$work/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(reference_host_user CXX)
find_package(zudor REQUIRED COMPONENTS host)
add_executable(reference_host_user main.cpp)
target_link_libraries(reference_host_user PRIVATE zudor::host)
CMAKE
cat >"$work/host/main.cpp" <<'CPP'
#include <cstdio>
#include "zudor_host/zudor_host.h"
int main() { return std::puts(zudorhost::xmpModeName(zudorhost::XmpMode::Raw)) < 0; }
CPP
cmake -S "$work/host" -B "$work/host/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host/build" >/dev/null
[ "$("$work/host/build/reference_host_user")" = raw ] || { echo "the reference host's user failed"; exit 1; }

echo "--- packages"
# As from a checkout that `git archive` wrote (0664 files) by a group-writable umask: the
# package's modes are its own, not the builder's.
chmod g+w cmake/debian/lintian-overrides
(umask 0002 && scripts/package)
chmod g-w cmake/debian/lintian-overrides
deb=build/packages/zudor_${version}-1_amd64.deb
zip=build/packages/ZUDOR-${version}-win64.zip
dpkg-deb -f "$deb" Depends
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in usr/share/doc/zudor/copyright usr/share/doc/zudor/changelog.Debian.gz \
         usr/share/lintian/overrides/zudor "usr/lib/python3/dist-packages/zudor-$version.dist-info/METADATA"; do
    grep -qx "./$f" <<<"$contents" || { echo "$deb lacks $f"; exit 1; }
done
listing=$(unzip -Z1 "$zip")
for f in bin/ZUDOR.dll include/zudor/reader.h README.md LICENSE THIRD-PARTY-NOTICES; do
    grep -qx "ZUDOR-$version-win64/$f" <<<"$listing" || { echo "$zip lacks $f"; exit 1; }
done
if [ -e build/windows/bin/sievecheck.exe ]; then
    grep -qx "ZUDOR-$version-win64/bin/sievecheck.exe" <<<"$listing" || { echo "$zip lacks sievecheck.exe"; exit 1; }
fi

echo "--- lintian"
# Each override says why on the comment line above it, and each still matches something.
awk '/^#/ { reason = 1; next }
     NF { if (!reason) { print "lintian override without a reason: " $0; bad = 1 }; reason = 0 }
     END { exit bad }' cmake/debian/lintian-overrides
# Everything it says is shown, overridden tags with their reasons too; --fail-on would count
# those as well, so the verdict is read from the tags.
report=$(lintian --display-info --show-overrides --fail-on none "$deb" 2>&1) ||
    { echo "$report"; echo "lintian failed"; exit 1; }
report=$(grep -v '^running with root privileges' <<<"$report" || true)
[ -z "$report" ] || echo "$report"
if grep -Eq '^[EW]: |^[EWI]: [^ ]+: (unused|mismatched)-override ' <<<"$report"; then
    echo "lintian: an error or warning without an override, or an override that matches nothing"
    exit 1
fi

echo "--- the Debian package installed"
if dpkg-query -W -f='${Status}' zudor 2>/dev/null | grep -q "install ok installed"; then
    echo "zudor is installed already; remove it first"
    exit 1
fi
installed=1
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 "./$deb" >/dev/null
expect_title /usr/bin/sievecheck -i "$sample" - --format text
[ "$(pkg-config --modversion zudor)" = "$version" ]
[ -f /usr/share/man/man1/sievecheck.1.gz ]
[ -f /usr/share/man/man1/zudor-serve.1.gz ] && [ -f /usr/lib/systemd/system/zudor-serve.service ]
# The service from /usr as its unit starts it (this root has no systemd to ask): the unit's
# command, on a port of its own choosing, as an unprivileged user with no capability, no way to
# gain one and no new privileges, as DynamicUser, CapabilityBoundingSet= and NoNewPrivileges
# give it; its readers the installed worker's. One record over loopback, then SIGTERM, which it
# answers by exiting with status 0.
unit=/usr/lib/systemd/system/zudor-serve.service
systemd-analyze verify --man=no "$unit"
command=$(sed -n 's/^ExecStart=//p' "$unit")
[[ "$command" == *" --listen 127.0.0.1:8750"* ]] || { echo "the unit's command changed: $command"; exit 1; }
# shellcheck disable=SC2086 # the unit's command, split into words as systemd splits it
setpriv --reuid=65534 --regid=65534 --clear-groups --bounding-set=-all --inh-caps=-all --no-new-privs \
    ${command/127.0.0.1:8750/127.0.0.1:0} >"$work/serve.out" 2>"$work/serve.log" &
serve_pid=$!
for _ in $(seq 300); do grep -q '^zudor-serve: listening on ' "$work/serve.out" && break; sleep 0.1; done
address=$(sed -n 's/^zudor-serve: listening on //p' "$work/serve.out")
record=$(/usr/bin/python3 -c 'import sys, urllib.request
print(urllib.request.urlopen(urllib.request.Request(sys.argv[1] + "/v1/record?name=sample.tif",
                                                    data=open(sys.argv[2], "rb").read()), timeout=60).read().decode())' \
         "$address" "$sample") || true
kill -TERM "$serve_pid"
wait "$serve_pid" || { echo "zudor-serve did not stop cleanly"; cat "$work/serve.log"; exit 1; }
grep -q '"title":"Harbour at dawn"' <<<"$record" ||
    { echo "no record from the installed zudor-serve: $record"; cat "$work/serve.log"; exit 1; }
cmake -S examples/minimal_host -B "$work/usr" -G Ninja >/dev/null
cmake --build "$work/usr" >/dev/null
expect_title "$work/usr/minimal_host" "$sample"   # libzudor.so.1 from the loader's search path
# The Python package with its metadata, imported by root, who may write byte-code beside it:
# the purge below must take that away too.
$sudo env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c 'import importlib.metadata as m, zudor
assert m.version("zudor") == zudor.__version__, m.version("zudor")
assert m.metadata("zudor")["License"] == "MIT"'

echo "--- the Debian package removed"
$sudo apt-get purge -y -qq -o DPkg::Lock::Timeout=600 zudor >/dev/null
installed=0
for f in /usr/bin/sievecheck /usr/bin/zudor-serve /usr/include/zudor "/usr/lib/$(gcc -print-multiarch)/libzudor.so.1" \
         /usr/lib/python3/dist-packages/zudor /usr/share/doc/zudor; do
    [ ! -e "$f" ] || { echo "$f is still there after the purge"; exit 1; }
done
echo "install and packages: fine"
