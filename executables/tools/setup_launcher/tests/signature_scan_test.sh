#!/usr/bin/env bash
# Fails when the attachment signature stands anywhere in the given executables. The launcher
# finds its payload by searching its own file backwards for these 12 bytes, so an image that
# holds them would be taken for a payload (or cut the real chain short).
# Usage: signature_scan_test.sh EXECUTABLE...
set -uo pipefail

signature='VOQSETUP_1.0'

if [ "$#" -eq 0 ]; then
    echo "usage: $0 EXECUTABLE..." >&2
    exit 2
fi

status=0
for file in "$@"; do
    if [ ! -f "$file" ] || [ ! -r "$file" ]; then
        echo "$file: cannot be read" >&2
        status=1
        continue
    fi
    # -b -o: the byte offset of every occurrence; -a: binary read as text; -F: fixed string.
    offsets=$(LC_ALL=C grep -a -b -o -F -- "$signature" "$file" | cut -d: -f1)
    if [ -n "$offsets" ]; then
        for offset in $offsets; do
            echo "$file: the attachment signature stands at offset $offset" >&2
        done
        status=1
    else
        echo "$file: no attachment signature"
    fi
done
exit "$status"
