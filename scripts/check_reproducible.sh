#!/usr/bin/env bash
# Checks that the packages are reproducible: runs scripts/package.sh in this checkout, then again
# in a fresh clone of the same commit at another path, where every program is built from
# scratch, under another umask and time zone; the archives' SHA-256 sums must be the same.
# Takes a few minutes (the second run builds three configurations' programs).
#
#   bash scripts/check_reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    echo "check_reproducible.sh: the work tree has changes; commit them first, since the" \
        "second run packs the commit" >&2
    exit 1
fi
commit=$(git rev-parse HEAD)

bash scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
sums=setup_launcher-$version-SHA256SUMS

clone=$(mktemp -d)
trap 'rm -rf "$clone"' EXIT
git clone --quiet --no-checkout "$root" "$clone/source"
git -C "$clone/source" checkout --quiet --detach "$commit"
(umask 077 && TZ=Pacific/Auckland bash "$clone/source/scripts/package.sh")

echo "This checkout:"
cat "dist/$sums"
echo "A fresh clone of $commit:"
cat "$clone/source/dist/$sums"
if cmp -s "dist/$sums" "$clone/source/dist/$sums"; then
    echo "Reproducible: both runs wrote the same archives."
else
    echo "NOT reproducible: the archives differ." >&2
    exit 1
fi
