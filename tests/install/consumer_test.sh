#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a temporary DESTDIR, checks what landed where, then
# configures, builds and runs a separate project that finds the installed
# package with find_package(zorv) and uses zorv::codec, and builds the same
# program again with the flags pkg-config gives for the installed zorv.pc.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER [LIBDIR]
# LIBDIR is the build's library folder under the prefix (lib, or a multiarch
# lib/<triplet> as a Debian build has). ZORV_EMULATOR, when set, runs the
# programs (built for another architecture). ZORV_VERSION is the project's
# version; ZORV_INSTALL_LICENSE is ON when the build installs LICENSE.
set -euo pipefail
read -r -a emulator <<<"${ZORV_EMULATOR:-}"
build_dir=$1
source_dir=$2
cxx=$3
libdir=${4:-lib}

work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
prefix=/opt/zorv-test

DESTDIR=$stage cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log"
root=$stage$prefix

# Everything a user and a consumer need, and nothing of the test suite.
for f in bin/zorv share/man/man1/zorv.1 include/zorv/codec.h "$libdir/libzorv_codec.a" \
    "$libdir/cmake/zorv/zorvConfig.cmake" "$libdir/cmake/zorv/zorvConfigVersion.cmake" \
    "$libdir/cmake/zorv/zorvTargets.cmake" "$libdir/pkgconfig/zorv.pc"; do
    if [ ! -f "$root/$f" ]; then
        echo "missing after install: $f"
        cat "$work/install.log"
        exit 1
    fi
done
if [ -n "$(find "$stage" -name '*gtest*' -o -name 'zorv_tests*')" ]; then
    echo "the install carries test files:"
    find "$stage" -name '*gtest*' -o -name 'zorv_tests*'
    exit 1
fi
# The license is installed unless the build was told to leave it to a package.
if [ "${ZORV_INSTALL_LICENSE:-ON}" = ON ]; then
    cmp "$source_dir/LICENSE" "$root/share/doc/zorv/LICENSE" || exit 1
elif [ -e "$root/share/doc/zorv" ]; then
    echo "ZORV_INSTALL_LICENSE is $ZORV_INSTALL_LICENSE, yet share/doc/zorv was installed"
    exit 1
fi
# The installed manual page names the version.
grep -q "^\.TH ZORV 1 \"[^\"]*\" \"ZORV ${ZORV_VERSION:-}\"" "$root/share/man/man1/zorv.1" || {
    echo "the installed manual page does not name version ${ZORV_VERSION:-}: $(grep '^\.TH' "$root/share/man/man1/zorv.1")"
    exit 1
}
# DESTDIR is honoured: nothing may land under the real prefix.
if [ -e "$prefix" ]; then
    echo "install wrote to $prefix outside DESTDIR"
    exit 1
fi

# The installed program runs and is the one just built.
"${emulator[@]}" "$root/bin/zorv" -v >"$work/version.txt"
grep -q '^ZORV: very high-speed file compression$' "$work/version.txt" || {
    echo "installed zorv -v printed:"
    cat "$work/version.txt"
    exit 1
}

cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$root" -DZORV_WANTED_VERSION="${ZORV_VERSION:-}" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log"
    exit 1
}
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    exit 1
}
# A consumer that works prints exactly this line; anything else is a failure.
run_consumer() {
    local out
    out=$("${emulator[@]}" "$2") || { echo "$1: $out"; exit 1; }
    echo "$1: $out"
    [ "$out" = "consumer: the installed codec works" ] || exit 1
}
run_consumer find_package "$work/consumer/consumer"

# The same program through pkg-config, which sees only the staged install.
if ! command -v pkg-config >/dev/null 2>&1; then
    echo "pkg-config is not installed: the build through zorv.pc was not tried"
    exit 0
fi
export PKG_CONFIG_LIBDIR=$root/$libdir/pkgconfig
# The staged file must resolve into the stage, not the prefix it was installed for.
for dir in "libdir:$libdir" includedir:include; do
    got=$(cd "$(pkg-config --variable="${dir%%:*}" zorv)" 2>/dev/null && pwd -P) || got="(none)"
    if [ "$got" != "$(cd "$root/${dir#*:}" && pwd -P)" ]; then
        echo "zorv.pc: ${dir%%:*} is $got, not $root/${dir#*:}"
        cat "$PKG_CONFIG_LIBDIR/zorv.pc"
        exit 1
    fi
done
# Its version is the CMake package's.
cmake_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$root/$libdir/cmake/zorv/zorvConfigVersion.cmake")
if [ "$(pkg-config --modversion zorv)" != "$cmake_version" ]; then
    echo "zorv.pc has version $(pkg-config --modversion zorv), the CMake package $cmake_version"
    exit 1
fi
# shellcheck disable=SC2046  # the flags are words on purpose
"$cxx" -std=c++17 -O2 -o "$work/consumer-pc" "$source_dir/tests/install/consumer/main.cpp" \
    $(pkg-config --cflags --libs zorv) >"$work/build-pc.log" 2>&1 || {
    echo "building the consumer with: $(pkg-config --cflags --libs zorv)"
    cat "$work/build-pc.log"
    exit 1
}
run_consumer pkg-config "$work/consumer-pc"
