#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, checks what landed where, then
# configures, builds and runs a separate project that finds the installed
# package with find_package(zorv) and uses zorv::codec.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER
set -euo pipefail
build_dir=$1
source_dir=$2
cxx=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/zorv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
prefix=/opt/zorv-test

DESTDIR=$stage cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log"
root=$stage$prefix

# Everything a user and a consumer need, and nothing of the test suite.
for f in bin/zorv share/man/man1/zorv.1 include/zorv/codec.h lib/libzorv_codec.a \
    lib/cmake/zorv/zorvConfig.cmake lib/cmake/zorv/zorvConfigVersion.cmake lib/cmake/zorv/zorvTargets.cmake; do
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
# DESTDIR is honoured: nothing may land under the real prefix.
if [ -e "$prefix" ]; then
    echo "install wrote to $prefix outside DESTDIR"
    exit 1
fi

# The installed program runs and is the one just built.
"$root/bin/zorv" -v >"$work/version.txt"
grep -q '^ZORV: very high-speed file compression$' "$work/version.txt" || {
    echo "installed zorv -v printed:"
    cat "$work/version.txt"
    exit 1
}

cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$root" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log"
    exit 1
}
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    exit 1
}
"$work/consumer/consumer"
