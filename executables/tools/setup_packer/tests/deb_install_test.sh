#!/usr/bin/env bash
# The Debian package: made from this build's installed tree (scripts/make_deb.sh), installed with
# `apt-get install ./FILE.deb` into a fresh Debian 12 root (testing/test_roots.sh; every run
# starts from the root as debootstrap made it), where setup_packer builds without --launcher,
# with either installed launcher, and verifies. Needs root privileges, debootstrap and, the first
# time, the package mirror.
#   deb_install_test.sh BUILD_DIR
set -u
build_dir=$(realpath "${1:?build directory}")
root_dir=$(cd "$(dirname "$0")/../../../.." && pwd)
# shellcheck source=../../../../testing/checks.sh
source "$root_dir/testing/checks.sh"
# shellcheck source=../../../../testing/test_roots.sh
source "$root_dir/testing/test_roots.sh"
if [[ $(id -u) != 0 ]]; then
    echo "skipped: installing a package into a test root needs root privileges"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! cmake --install "$build_dir" --prefix "$work/installed" --strip >"$work/install.log" 2>&1; then
    if grep -q "launcher is missing" "$work/install.log"; then
        echo "skipped: $(grep -o "The .* launcher is missing: [^ ]*" "$work/install.log" | head -1)"
        exit 77
    fi
    cat "$work/install.log"
    exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
deb=$work/setup-launcher_${version}_amd64.deb
SOURCE_DATE_EPOCH=$(git -C "$root_dir" log -1 --format=%ct 2>/dev/null || echo 0) \
    bash "$root_dir/scripts/make_deb.sh" "$work/installed" "$version" "$deb"
check "make_deb.sh writes the package" 0 $?
check "the package's files" "./usr/bin/setup_packer
./usr/share/cmake/SetupLauncher/SetupLauncherConfig.cmake
./usr/share/cmake/SetupLauncher/SetupLauncherConfigVersion.cmake
./usr/share/cmake/SetupLauncher/SetupLauncherFunctions.cmake
./usr/share/doc/setup-launcher/README-setup_packer.md
./usr/share/doc/setup-launcher/README.md
./usr/share/doc/setup-launcher/copyright
./usr/share/man/man1/setup_packer.1.gz
./usr/share/setup_launcher/setup_launcher-i686.exe
./usr/share/setup_launcher/setup_launcher-x86_64.exe" \
    "$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | LC_ALL=C sort)"
check_true "every entry is root's" \
    '! dpkg-deb --fsys-tarfile "$deb" | tar -tv --numeric-owner | grep -v " 0/0 "'

root=$(test_root_ensure deb-install-bookworm bookworm) || exit 1
# Inside the root: install, then pack without --launcher and verify, for either launcher.
cat >"$work/in_root.sh" <<'SCRIPT'
set -e
cd "$1"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./"$(basename "$2")" >apt.log 2>&1 ||
    { cat apt.log; exit 1; }
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' setup-launcher)"
echo hello >payload.txt
for arch in i686 x86-64; do
    setup_packer build --arch "$arch" --output "setup-$arch.exe" --file payload.txt \
        --command cmd.exe --params "/c type payload.txt" --icon /dev/null 2>/dev/null &&
        echo "a bad icon was taken"
    setup_packer build --arch "$arch" --output "setup-$arch.exe" --file payload.txt \
        --command cmd.exe --params "/c type payload.txt" --version-info ProductName=Example
    setup_packer verify "setup-$arch.exe" | head -1
done
setup_packer build --output default.exe --command cmd.exe
setup_packer list default.exe | grep -F ': the '

man -w setup_packer 2>/dev/null || ls /usr/share/man/man1/setup_packer.1.gz
SCRIPT
out=$(test_root_run "$root" --bind "$work" -- /bin/bash "$work/in_root.sh" "$work" "$deb" 2>&1)
check "in a fresh Debian 12 root: installed, packed without --launcher, verified" \
    "installed: setup-launcher $version install ok installed
setup-i686.exe: OK: 2 attachments, 6 bytes of file data, the i686 launcher (PE32)
setup-x86-64.exe: OK: 2 attachments, 6 bytes of file data, the x86-64 launcher (PE32+)
default.exe: the i686 launcher (PE32)
/usr/share/man/man1/setup_packer.1.gz" "$out"
check_true "the root stays as made: the next run installs afresh" \
    '[[ ! -e $root/usr/bin/setup_packer ]]'

echo "deb install: $failures failures"
[[ $failures -eq 0 ]]
