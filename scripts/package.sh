#!/usr/bin/env bash
# Builds what the packages need and writes them under dist/, named with the product's version
# (project() in the top-level CMakeLists.txt):
#
#   setup_launcher-VERSION-linux-x86_64.tar.gz   setup_packer for Linux (release preset, stripped)
#                                                and its manual page, as `cmake --install` lays
#                                                them out, both launchers, the READMEs
#   setup_launcher-VERSION-windows.zip           setup_packer.exe (the i686 build, which runs on
#                                                every Windows with 32-bit support), both
#                                                launchers, the READMEs
#   setup_launcher-VERSION-SHA256SUMS            the sums of both, for `sha256sum -c`
#
# The same commit packs to the same bytes: the Windows images carry no link time, and every
# archive entry is dated SOURCE_DATE_EPOCH (default: the time of the last commit), owned by 0:0,
# with fixed modes, in name order. scripts/check_reproducible.sh packs twice and compares.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
        fail "not in a git checkout: set SOURCE_DATE_EPOCH (seconds since 1970) for the archives' dates"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH
if [[ -n $(git status --porcelain 2>/dev/null) ]]; then
    echo "package.sh: warning: the work tree differs from the last commit;" \
        "these packages are not that commit's" >&2
fi

bash scripts/install_dependencies.sh

# build PRESET TARGET...: configures the preset and builds just these targets.
build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}"
}
build release setup_packer
build windows setup_launcher setup_packer
build windows-x64 setup_launcher

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[[ -n $version ]] || fail "no CMAKE_PROJECT_VERSION in build/release/CMakeCache.txt"
linux=setup_launcher-$version-linux-x86_64
windows=setup_launcher-$version-windows
launcher_i686=build/windows/executables/tools/setup_launcher/setup_launcher.exe
launcher_x86_64=build/windows-x64/executables/tools/setup_launcher/setup_launcher.exe

stage=$(mktemp -d)
mkdir -p dist
trap 'rm -rf "$stage" dist/*.partial' EXIT

# add_common DIR LAUNCHER_DIR: what both packages hold besides setup_packer.
add_common() {
    install -m 0644 README.md "$1/README.md"
    install -m 0644 executables/tools/setup_packer/README.md "$1/README-setup_packer.md"
    if [[ -f LICENSE ]]; then
        install -m 0644 LICENSE "$1/LICENSE"
    fi
    install -d "$2"
    install -m 0644 "$launcher_i686" "$2/setup_launcher-i686.exe"
    install -m 0644 "$launcher_x86_64" "$2/setup_launcher-x86_64.exe"
}

cmake --install build/release --prefix "$stage/$linux" --strip >/dev/null
add_common "$stage/$linux" "$stage/$linux/share/setup_launcher"
install -d "$stage/$windows"
install -m 0755 build/windows/executables/tools/setup_packer/setup_packer.exe "$stage/$windows/"
add_common "$stage/$windows" "$stage/$windows"
# Modes that don't depend on the umask: folders and programs 0755, everything else 0644.
chmod -R u=rwX,go=rX "$stage"

# The Linux setup_packer packed must be this version and take both launchers for what they are.
packer=$stage/$linux/bin/setup_packer
[[ $("$packer" --version) == "setup_packer $version" ]] ||
    fail "the packed setup_packer says '$("$packer" --version)', not version $version"
for architecture in i686 x86_64; do
    "$packer" build --no-progress --launcher "$stage/$windows/setup_launcher-$architecture.exe" \
        --output "$stage/check.exe" --file README.md >/dev/null
    "$packer" list --json "$stage/check.exe" | grep -q "\"launcher\": \"${architecture/_/-}\"" ||
        fail "setup_launcher-$architecture.exe is not the $architecture launcher"
    rm "$stage/check.exe"
done

tar --create --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner -C "$stage" "$linux" |
    gzip -9 -n >"dist/$linux.tar.gz.partial"
mv -f "dist/$linux.tar.gz.partial" "dist/$linux.tar.gz"
python3 scripts/write_zip.py "dist/$windows.zip" "$stage/$windows"
(cd dist && sha256sum "$linux.tar.gz" "$windows.zip" >"setup_launcher-$version-SHA256SUMS.partial" &&
    mv -f "setup_launcher-$version-SHA256SUMS.partial" "setup_launcher-$version-SHA256SUMS")

echo "Wrote, for commit $(git rev-parse --short HEAD 2>/dev/null || echo '(none)')" \
    "dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'):"
(cd dist && cat "setup_launcher-$version-SHA256SUMS")
