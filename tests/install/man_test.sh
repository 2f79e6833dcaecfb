#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the manual page: it renders without a single warning, and it lists
# every option of the usage screen with the usage screen's own words, so the
# two cannot drift apart. Exits 77 (skipped) where groff is not installed.
# Usage: man_test.sh ZORV_BINARY SOURCE_DIR; ZORV_EMULATOR, when set, runs the
# program (one built for another architecture).
set -euo pipefail
read -r -a emulator <<<"${ZORV_EMULATOR:-}"
zorv=$1
page=$2/doc/zorv.1

if ! command -v groff >/dev/null; then
    echo "groff is not installed: skipped"
    exit 77
fi

warnings=$(groff -ww -man -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "groff warns about $page:"
    echo "$warnings"
    exit 1
fi
if command -v man >/dev/null; then
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "man warns about $page:"
        echo "$warnings"
        exit 1
    fi
fi

# The rendered page as one line with single blanks, so that the layout of a
# tagged paragraph does not matter.
text=$(groff -man -Tascii -P-cbou "$page" | tr -s ' \n' '  ')
options=0
while IFS= read -r line; do
    # The usage screen's option rows: two blanks, the option, its description.
    if [[ $line =~ ^\ \ (-[a-z]+)\ +(.+)$ ]]; then
        options=$((options + 1))
        wanted="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
        if [[ $text != *" $wanted "* ]]; then
            echo "the manual page does not list the usage screen's row: $line"
            exit 1
        fi
    fi
done < <("${emulator[@]}" "$zorv" -h)
if [ "$options" -lt 3 ]; then
    echo "found only $options option rows on the usage screen:"
    "${emulator[@]}" "$zorv" -h
    exit 1
fi
echo "man page: no warnings, all $options options of the usage screen listed"
