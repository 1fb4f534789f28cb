#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is already there.
# Run as root (or through sudo). Safe to run again. With package names as arguments, it installs
# only those of them that are missing, and runs no apt at all when none is (scripts/package.sh).
#
# 32-bit Wine (wine32:i386) is wanted but not required: some hosts cannot execute 32-bit programs,
# and on some the i386 packages cannot be installed. The tests then run the Windows suite with
# the x86-64 build and report the i686 tests that need Wine as skipped.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev help2man
    googletest libgtest-dev libbenchmark-dev zlib1g-dev libcli11-dev nlohmann-json3-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 fonts-wine xvfb xauth x11-utils x11-apps imagemagick openssl
    locales osslsigncode file gdb pmccabe python3 dpkg-dev debootstrap
)
optional_packages=(wine32:i386)
only_given=
if [ "$#" -gt 0 ]; then
    packages=("$@")
    optional_packages=()
    only_given=1
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_from() {
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [ "$status" = "install ok installed" ] || echo "$package"
    done
}

apt_install() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "$@" >/dev/null
}

if [ -z "$only_given" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    need_update=1
fi

mapfile -t missing < <(missing_from "${packages[@]}")
mapfile -t missing_optional < <(missing_from "${optional_packages[@]}")

if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_optional[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "Installing: ${missing[*]:-} ${missing_optional[*]:-}"
    # A mirror that is mid-sync fails one index or another; what the lists already hold is
    # still good for the packages that follow, and a package truly missing fails below.
    as_root apt-get update -qq || echo "install_dependencies: apt-get update failed in part; going on" >&2
    if [ "${#missing[@]}" -gt 0 ]; then
        apt_install "${missing[@]}"
    fi
    if [ "${#missing_optional[@]}" -gt 0 ] && ! apt_install "${missing_optional[@]}"; then
        echo "install_dependencies: could not install ${missing_optional[*]}; the i686 tests" \
            "that run under Wine will be skipped" >&2
    fi
fi

# Wine follows LANG only for locales that exist; the tests run in English and German.
[ -z "$only_given" ] || exit 0
for locale in en_US de_DE de_AT en_GB fr_FR; do
    if ! locale -a 2>/dev/null | grep -qx "${locale}.utf8"; then
        as_root localedef -i "$locale" -f UTF-8 "${locale}.UTF-8"
    fi
done
