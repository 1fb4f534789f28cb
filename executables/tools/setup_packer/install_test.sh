#!/usr/bin/env bash
# What `cmake --install` puts where, and a manual page that says what --help says.
# Usage: install_test.sh BUILD_DIR SETUP_PACKER
set -u
build_dir=$(realpath "${1:?build directory}")
packer=$(realpath "${2:?setup_packer}")
root=$(cd "$(dirname "$0")/../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../../../testing/checks.sh
source "$root/testing/checks.sh"

cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log" 2>&1
check "cmake --install succeeds" 0 $?
check "the installed files" "bin/setup_packer share/man/man1/setup_packer.1" \
    "$(cd "$work/prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)"
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
