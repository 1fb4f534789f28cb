#!/usr/bin/env bash
# Builds what the packages need and writes them under dist/, named with the product's version
# (project() in the top-level CMakeLists.txt):
#
#   setup_launcher-VERSION-linux-x86_64.tar.gz   setup_packer for Linux (release preset, stripped),
#                                                its manual page, both launchers, the license
#                                                files and the CMake package, as `cmake --install`
#                                                lays them out, the READMEs, LICENSE and
#                                                THIRD-PARTY-NOTICES
#   setup_launcher-VERSION-windows.zip           setup_packer.exe (the i686 build, which runs on
#                                                every Windows with 32-bit support), both
#                                                launchers, the READMEs, LICENSE and
#                                                THIRD-PARTY-NOTICES
#   setup-launcher_VERSION_amd64.deb             the Debian package (scripts/make_deb.sh): the
#                                                Linux tree under /usr, the copyright file
#   setup_launcher-VERSION-SHA256SUMS            the sums of all three, for `sha256sum -c`
#
# The same commit packs to the same bytes: the Windows images carry no link time, and every
# archive entry is dated SOURCE_DATE_EPOCH (default: the time of the last commit), owned by 0:0,
# with fixed modes, in name order. scripts/check_reproducible.sh packs twice and compares.
# Packages that packing needs are installed when missing; when none is, apt does not run.
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

# What packing needs: the compilers, the header-only libraries, Python for the zip and dpkg-dev
# for the Debian package's dependencies.
bash scripts/install_dependencies.sh cmake ninja-build clang g++-mingw-w64-i686-win32 \
    binutils-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64-win32 \
    binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libcli11-dev nlohmann-json3-dev python3 dpkg-dev

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
deb=setup-launcher_${version}_amd64.deb
launcher_i686=build/windows/executables/tools/setup_launcher/setup_launcher.exe
launcher_x86_64=build/windows-x64/executables/tools/setup_launcher/setup_launcher.exe

stage=$(mktemp -d)
mkdir -p dist
trap 'rm -rf "$stage" dist/*.partial' EXIT

# add_documents DIR: the READMEs and the license files, in every package.
add_documents() {
    install -m 0644 README.md "$1/README.md"
    install -m 0644 executables/tools/setup_packer/README.md "$1/README-setup_packer.md"
    install -m 0644 LICENSE THIRD-PARTY-NOTICES "$1/"
}

# The Linux tree: setup_packer, its page, the launchers, the license files, the CMake package.
cmake --install build/release --prefix "$stage/$linux" --strip >/dev/null
add_documents "$stage/$linux"
install -d "$stage/$windows"
install -m 0755 build/windows/executables/tools/setup_packer/setup_packer.exe "$stage/$windows/"
install -m 0644 "$launcher_i686" "$stage/$windows/setup_launcher-i686.exe"
install -m 0644 "$launcher_x86_64" "$stage/$windows/setup_launcher-x86_64.exe"
add_documents "$stage/$windows"
# Modes that don't depend on the umask: folders and programs 0755, everything else 0644.
chmod -R u=rwX,go=rX "$stage"

# The Linux setup_packer packed must be this version and, without --launcher, take the
# launchers beside it for what they are.
packer=$stage/$linux/bin/setup_packer
[[ $("$packer" --version) == "setup_packer $version" ]] ||
    fail "the packed setup_packer says '$("$packer" --version)', not version $version"
for architecture in i686 x86-64; do
    "$packer" build --no-progress --arch "$architecture" --output "$stage/check.exe" \
        --file README.md >/dev/null
    "$packer" list --json "$stage/check.exe" | grep -q "\"launcher\": \"$architecture\"" ||
        fail "the installed $architecture launcher is not the $architecture launcher"
    rm "$stage/check.exe"
done

tar --create --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner -C "$stage" "$linux" |
    gzip -9 -n >"dist/$linux.tar.gz.partial"
mv -f "dist/$linux.tar.gz.partial" "dist/$linux.tar.gz"
python3 scripts/write_zip.py "dist/$windows.zip" "$stage/$windows"
bash scripts/make_deb.sh "$stage/$linux" "$version" "dist/$deb"
(cd dist && sha256sum "$linux.tar.gz" "$windows.zip" "$deb" >"setup_launcher-$version-SHA256SUMS.partial" &&
    mv -f "setup_launcher-$version-SHA256SUMS.partial" "setup_launcher-$version-SHA256SUMS")

echo "Wrote, for commit $(git rev-parse --short HEAD 2>/dev/null || echo '(none)')" \
    "dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'):"
(cd dist && cat "setup_launcher-$version-SHA256SUMS")
