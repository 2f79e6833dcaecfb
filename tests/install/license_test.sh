#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks that the license is stated the same everywhere: every file under src,
# tests and perf opens with the SPDX line (after its shebang, if it has one),
# and debian/copyright carries the text of LICENSE. A new file without the
# line fails here.
# Usage: license_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
identifier='SPDX-License-Identifier: BSD-2-Clause'

missing=0
while IFS= read -r -d '' file; do
    case $file in
    *.cpp | *.h | *.cc | *.hpp) wanted="// $identifier" ;;
    *) wanted="# $identifier" ;;
    esac
    # Read with the shell alone: a process per file is slow on a loaded machine.
    first='' second=''
    { IFS= read -r first || true; IFS= read -r second || true; } <"$file"
    line=1 text=$first
    if [[ $first == '#!'* ]]; then line=2 text=$second; fi
    if [ "$text" != "$wanted" ]; then
        echo "$file: line $line is not \"$wanted\""
        missing=$((missing + 1))
    fi
done < <(find src tests perf -type f -print0)
[ "$missing" -eq 0 ] || exit 1

# The text of LICENSE below its copyright line, as debian/copyright's
# stand-alone paragraph holds it (each line indented, blank lines as " .").
license=$(sed -n '/^Copyright (c) /,$p' LICENSE | tail -n +3)
debian=$(awk '/^License: BSD-2-Clause$/ { inside = 1; next } !/^ / { inside = 0 } inside' debian/copyright |
    sed -e 's/^ //' -e 's/^\.$//')
if [ "$license" != "$debian" ]; then
    echo "debian/copyright does not carry the text of LICENSE:"
    diff <(echo "$license") <(echo "$debian") || true
    exit 1
fi
grep -q '^Copyright: 2026 the ZORV developers$' debian/copyright || {
    echo "debian/copyright does not name the holder of LICENSE"
    exit 1
}
echo "license: every file of src, tests and perf carries the SPDX line, debian/copyright the text of LICENSE"
