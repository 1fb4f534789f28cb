#!/usr/bin/env bash
# The programs we ship link to the same bytes whenever and wherever they are linked: each image
# is linked again with the command that built it, a second later at the least, into a directory
# of its own, and compared with the build's. A Windows image must carry no link time in its COFF
# header at all. (scripts/check_reproducible.sh checks whole packages, built from scratch.)
#
#   reproducible_images_test.sh NINJA BUILD_DIR IMAGE...
set -u
ninja=${1:?ninja}
build_dir=$(realpath "${2:?build directory}")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source-path=SCRIPTDIR source=checks.sh
source "$root/testing/checks.sh"

# pe_link_time IMAGE: the TimeDateStamp of a PE image's COFF header, eight hex digits.
pe_link_time() {
    local pe_header
    pe_header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx4 -j$((pe_header + 8)) -N4 "$1" | tr -d ' '
}

# relink IMAGE OUTPUT: runs the build's last command for IMAGE, the link, writing OUTPUT instead
# (and a MinGW import library, if the command makes one, beside it).
relink() {
    local target command
    target=$(realpath --relative-to="$build_dir" "$1")
    command=$("$ninja" -C "$build_dir" -t commands "$target" | tail -n 1)
    if [[ $command != *" -o $target "* ]]; then
        echo "no link command writing $target in: $command"
        return 1
    fi
    command=${command/" -o $target "/" -o $2 "}
    command=$(sed -E "s|--out-implib,[^ ]+|--out-implib,$2.a|" <<<"$command")
    (cd "$build_dir" && bash -c "$command")
}

for image in "$@"; do
    image=$(realpath "$image")
    name=$(basename "$image")
    if [[ $(head -c 2 "$image") == MZ ]]; then
        check "$name carries no link time" 00000000 "$(pe_link_time "$image")"
    fi
    # A link time of a whole second would show in the comparison.
    if (($(date +%s) <= $(stat -c %Y "$image"))); then
        sleep 1
    fi
    mkdir -p "$work/$name.relinked"
    relinked=$work/$name.relinked/$name
    if relink "$image" "$relinked"; then
        check "$name links again to the same bytes" "" "$(cmp "$image" "$relinked" 2>&1)"
    else
        check "$name links again" 0 1
    fi
done

echo "reproducible images: $failures failures"
[[ $failures -eq 0 ]]
