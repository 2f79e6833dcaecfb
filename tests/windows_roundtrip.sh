#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The Windows program end to end (under wine on Linux): files packed and
# restored byte for byte, UTF-8 names through the wide calls, screens without
# a carriage return before each line feed, the default name cut on a whole
# character, and 255 for a failure. Usage: windows_roundtrip.sh ZORV.EXE SOURCE_DIR [EMULATOR...]
set -u
exe=$1
source_dir=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
zorv() { "$@" </dev/null; }

mkdir -p "$work/pack" "$work/restore"
cd "$work/pack" || exit 1
cat "$source_dir"/src/*/*.cpp > text.txt
head -c 3000000 /dev/urandom > random.bin
: > empty
cp text.txt "日本語.txt"
for f in text.txt random.bin empty; do
  zorv "$@" "$exe" "$f" "$f.zorv" > "$f.screen" || fail "packing $f"
  grep -q $'\r$' "$f.screen" && fail "a carriage return ends a line of $f.screen"
done
zorv "$@" "$exe" "日本語.txt" > default.screen || fail "packing under a UTF-8 name"
grep -q "using : 日本.zorv" default.screen || fail "default name: $(head -c 300 default.screen)"
[ -f "日本.zorv" ] || fail "no archive 日本.zorv"

cd "$work/restore" || exit 1
cp ../pack/*.zorv .
for f in text.txt random.bin empty; do
  zorv "$@" "$exe" -u "$f.zorv" > "$f.screen" || fail "restoring $f"
  cmp -s "$f" "../pack/$f" || fail "$f restored differently"
done
zorv "$@" "$exe" -u "日本.zorv" > utf8.screen || fail "restoring 日本.zorv"
cmp -s "日本語.txt" ../pack/text.txt || fail "日本語.txt restored differently"

zorv "$@" "$exe" missing.txt out.zorv > missing.screen
status=$?
[ "$status" = 255 ] || fail "a missing input ends with $status, not 255"
echo "windows: packed, restored and refused as on Linux"
