#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the Debian packages that `make deb` built, on this machine, as root:
# installs both, packs and restores a file with the installed /usr/bin/zorv,
# builds tests/install/consumer against the installed libzorv-dev through
# CMake and through pkg-config, then purges both and checks nothing is left.
# Usage: deb_test.sh DEB_DIR SOURCE_DIR
set -euo pipefail
deb_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "deb test: $*"
    exit 1
}

debs=("$deb_dir"/zorv_*.deb "$deb_dir"/libzorv-dev_*.deb)
[ ${#debs[@]} -eq 2 ] && [ -f "${debs[0]}" ] && [ -f "${debs[1]}" ] || fail "want one zorv and one libzorv-dev package in $deb_dir"
version=$(dpkg-deb -f "${debs[0]}" Version)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    fail "apt-get install failed"
}

# The installed program is the packaged one, and its version screen agrees.
[ "$(dpkg -S /usr/bin/zorv 2>/dev/null)" = "zorv: /usr/bin/zorv" ] || fail "/usr/bin/zorv does not come from the package zorv"
/usr/bin/zorv -v | grep -q "^Version v$version " || fail "zorv -v does not show version $version: $(/usr/bin/zorv -v)"

# A file of several blocks, so that the threads take part, packed and restored.
{ for n in $(seq 40); do cat "$source_dir"/src/*/*.cpp; done; head -c 9000000 /dev/urandom; } >"$work/sample"
mkdir "$work/restored"
(cd "$work" && /usr/bin/zorv sample sample.zorv >pack.log) || fail "packing failed: $(cat "$work/pack.log")"
(cd "$work/restored" && /usr/bin/zorv -u ../sample.zorv >../unpack.log) || fail "restoring failed: $(cat "$work/unpack.log")"
cmp "$work/sample" "$work/restored/sample" || fail "the restored file differs"
echo "deb test: /usr/bin/zorv packed and restored $(stat -c %s "$work/sample") bytes"

# The consumer through the installed CMake package, found without any hint.
cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release \
    -DZORV_WANTED_VERSION="$version" >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/cmake.log" 2>&1 || {
    cat "$work/cmake.log"
    fail "the consumer does not build with find_package(zorv)"
}
grep -q "zorv_DIR:PATH=/usr/lib/.*/cmake/zorv" "$work/consumer/CMakeCache.txt" || fail "find_package(zorv) found $(grep zorv_DIR "$work/consumer/CMakeCache.txt")"
# And through pkg-config, whose zorv.pc finds /usr from the multiarch folder.
[ "$(realpath "$(pkg-config --variable=prefix zorv)")" = /usr ] || fail "zorv.pc has prefix $(pkg-config --variable=prefix zorv)"
# shellcheck disable=SC2046  # the flags are words on purpose
c++ -std=c++17 -O2 -o "$work/consumer-pc" "$source_dir/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs zorv) ||
    fail "the consumer does not build with: $(pkg-config --cflags --libs zorv)"
for consumer in "$work/consumer/consumer" "$work/consumer-pc"; do
    out=$("$consumer") || fail "$consumer: $out"
    [ "$out" = "consumer: the installed codec works" ] || fail "$consumer: $out"
done
echo "deb test: the consumer builds and works through find_package(zorv) and pkg-config"

# Purged, both leave nothing behind.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq zorv libzorv-dev >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    fail "apt-get purge failed"
}
for package in zorv libzorv-dev; do
    if dpkg -L "$package" >/dev/null 2>&1; then fail "$package is still known to dpkg after the purge"; fi
done
for path in /usr/bin/zorv /usr/share/man/man1/zorv.1.gz /usr/include/zorv /usr/lib/*/libzorv_codec.a \
    /usr/lib/*/pkgconfig/zorv.pc /usr/lib/*/cmake/zorv /usr/share/doc/zorv /usr/share/doc/libzorv-dev; do
    [ ! -e "$path" ] || fail "$path is left after the purge"
done
echo "deb test: installed, used and purged, nothing left"
