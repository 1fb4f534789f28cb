#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is already there.
# Run as root (or through sudo). Safe to run again.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev help2man
    googletest libgtest-dev libbenchmark-dev zlib1g-dev libcli11-dev nlohmann-json3-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
    wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils x11-apps imagemagick openssl
    locales osslsigncode file gdb
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    need_update=1
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "Installing: ${missing[*]:-(package lists only)}"
    as_root apt-get update -qq
    if [ "${#missing[@]}" -gt 0 ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
fi

# Wine follows LANG only for locales that exist; the tests run in English and German.
for locale in en_US de_DE de_AT en_GB fr_FR; do
    if ! locale -a 2>/dev/null | grep -qx "${locale}.utf8"; then
        as_root localedef -i "$locale" -f UTF-8 "${locale}.UTF-8"
    fi
done
