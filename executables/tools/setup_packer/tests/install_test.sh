#!/usr/bin/env bash
# What `cmake --install` puts where, and a manual page that says what --help says.
# Usage: install_test.sh BUILD_DIR SETUP_PACKER
set -u
build_dir=$(realpath "${1:?build directory}")
packer=$(realpath "${2:?setup_packer}")
root=$(cd "$(dirname "$0")/../../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../../../../testing/checks.sh
source "$root/testing/checks.sh"

# The launchers come from the Windows build trees; without them the install stops and says so.
launchers=$(sed -n 's/^SETUP_LAUNCHER_\(I686\|X86_64\):FILEPATH=//p' "$build_dir/CMakeCache.txt")
missing=
for launcher in $launchers; do
    [[ -f $launcher ]] || missing+=" $launcher"
done
cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log" 2>&1
status=$?
if [[ -n $missing ]]; then
    check "cmake --install fails without the launchers" 1 $((status != 0))
    check_true "and names the missing launcher and how to build it" \
        'grep -q "launcher is missing: .*Build it first (cmake --preset windows" "$work/install.log"'
    skip "the installed layout: a launcher was not built:$missing"
    cmake --install "$build_dir" --prefix "$work/prefix" --component Unspecified >/dev/null 2>&1
else
    check "cmake --install succeeds" 0 $status
    check "the installed files" "bin/setup_packer share/cmake/SetupLauncher/SetupLauncherConfig.cmake \
share/cmake/SetupLauncher/SetupLauncherConfigVersion.cmake \
share/cmake/SetupLauncher/SetupLauncherFunctions.cmake share/doc/setup_launcher/LICENSE \
share/doc/setup_launcher/THIRD-PARTY-NOTICES share/man/man1/setup_packer.1 \
share/setup_launcher/setup_launcher-i686.exe share/setup_launcher/setup_launcher-x86_64.exe" \
        "$(cd "$work/prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)"
    # Without --launcher the installed setup_packer takes the installed launcher of --arch.
    installed=$work/prefix/bin/setup_packer
    for arch in i686 x86-64; do
        "$installed" build --arch "$arch" --output "$work/$arch.exe" --command x.exe >/dev/null 2>&1
        check "build --arch $arch takes the installed $arch launcher" \
            "$work/$arch.exe: the $arch launcher" \
            "$("$installed" list "$work/$arch.exe" 2>&1 | grep -o "^.*: the $arch launcher")"
    done
    "$installed" build --output "$work/default.exe" --command x.exe >/dev/null 2>&1
    check "without --arch, the i686 launcher" 0 \
        "$(cmp -s "$work/default.exe" "$work/i686.exe"; echo $?)"
fi
check_true "bin/setup_packer is executable and runs" \
    '[[ -x $work/prefix/bin/setup_packer ]] && "$work/prefix/bin/setup_packer" --version | grep -q "^setup_packer "'

# The page made from this build's --help texts, the date line and help2man's own comment aside.
page=$root/executables/tools/setup_packer/setup_packer.1
without_dates() { grep -v -e '^\.TH ' -e '^\.\\" DO NOT MODIFY' "$1"; }
if bash "$root/scripts/make_man_page.sh" "$packer" "$work/setup_packer.1" >/dev/null; then
    check "setup_packer.1 says what --help says (else run scripts/make_man_page.sh)" "" \
        "$(diff <(without_dates "$page") <(without_dates "$work/setup_packer.1"))"
else
    check "scripts/make_man_page.sh runs" 0 1
fi
check "the installed page is the one in the sources" "" \
    "$(cmp "$page" "$work/prefix/share/man/man1/setup_packer.1" 2>&1)"

echo "install: $failures failures"
[[ $failures -eq 0 ]]
