#!/usr/bin/env bash
# The shape the production code keeps: no function over 60 lines and no source file over 600, as
# pmccabe counts them. Tests and test programs (foo_test.cpp, and everything in the tools' tests/
# folders) are not production code.
#
#   code_shape_test.sh SOURCE_DIR
set -uo pipefail

source_dir=${1:?source directory}
command -v pmccabe >/dev/null || {
    echo "FAIL: pmccabe is missing (scripts/install_dependencies.sh installs it)"
    exit 1
}
cd "$source_dir" || exit 1
mapfile -t sources < <(ls executables/libraries/*/*.cpp executables/tools/*/src/*.cpp |
    grep -vE '_test(_[a-z0-9]+)?\.cpp$')

# pmccabe's parser predates some C++ keywords: copies without them keep every line where it was.
copies=$(mktemp -d)
trap 'rm -rf "$copies"' EXIT
for source in "${sources[@]}"; do
    mkdir -p "$copies/$(dirname "$source")"
    sed -e 's/\bnoexcept\b//g; s/\boverride\b//g; s/\bfinal\b//g; s/&&/\&/g' "$source" \
        >"$copies/$source"
done
cd "$copies" || exit 1

status=0
# A file pmccabe can't parse has functions it did not measure.
if ! problems=$(pmccabe "${sources[@]}" 2>&1 >/dev/null) || [[ -n $problems ]]; then
    echo "FAIL: pmccabe could not parse everything, so some functions went unmeasured:"
    echo "$problems"
    status=1
fi
# pmccabe: complexities, statements, first line, lines, "file(line): function".
long_functions=$(pmccabe "${sources[@]}" 2>/dev/null | awk '$5 > 60 { print "  " $5 " lines: " $6 " " $7 }')
if [[ -n $long_functions ]]; then
    echo "FAIL: functions over 60 lines:"
    echo "$long_functions"
    status=1
fi
long_files=$(wc -l "${sources[@]}" | awk '$2 != "total" && $1 > 600 { print "  " $1 " lines: " $2 }')
if [[ -n $long_files ]]; then
    echo "FAIL: source files over 600 lines:"
    echo "$long_files"
    status=1
fi
((status == 0)) && echo "ok: ${#sources[@]} production sources; no function over 60 lines, no file over 600"
exit "$status"
