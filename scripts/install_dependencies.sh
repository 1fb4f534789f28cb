#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is already there, and makes
# (or reuses) the Windows test root: Debian 13 with Wine 10 and its 32-bit part, made once per
# machine with debootstrap under /var/lib/setup_launcher/roots (testing/wine/windows_root.sh).
# Every Windows program of the tests, the demo and the benchmarks runs there; the host needs no
# Wine of its own. Run as root (or through sudo). Safe to run again. With package names as
# arguments, it installs only those of them that are missing, and runs no apt at all when none is
# (scripts/package.sh); it makes no root then.
#
# A host where the root can't be made (no root privileges, no package mirror) is told why; the
# Windows tests then skip, and scripts/run_tests.sh fails unless ALLOW_NO_WINE=1.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev help2man
    googletest libgtest-dev libbenchmark-dev zlib1g-dev libcli11-dev nlohmann-json3-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    openssl locales osslsigncode file gdb pmccabe python3 dpkg-dev debootstrap
)
only_given=
if [ "$#" -gt 0 ]; then
    packages=("$@")
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

mapfile -t missing < <(missing_from "${packages[@]}")

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    # A mirror that is mid-sync fails one index or another; what the lists already hold is
    # still good for the packages that follow, and a package truly missing fails below.
    as_root apt-get update -qq || echo "install_dependencies: apt-get update failed in part; going on" >&2
    apt_install "${missing[@]}"
fi

# The locales the tests use (the Windows test root has its own).
[ -z "$only_given" ] || exit 0
for locale in en_US de_DE de_AT en_GB fr_FR; do
    if ! locale -a 2>/dev/null | grep -qx "${locale}.utf8"; then
        as_root localedef -i "$locale" -f UTF-8 "${locale}.UTF-8"
    fi
done

# The Windows test root: the first time, a few minutes; afterwards, a moment.
if ! as_root bash -c 'source testing/wine/windows_root.sh && windows_root_ensure >/dev/null'; then
    echo "install_dependencies: no Windows test root; the Windows tests will be skipped" >&2
fi
