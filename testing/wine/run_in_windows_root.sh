#!/usr/bin/env bash
# Runs one Windows test in the Windows test root (testing/wine/windows_root.sh), with this source
# tree and the build tree at the same paths there, and passes its exit status through. Where it
# can't run, it says why and ends with ctest's skip code: no root to use, or a 32-bit build where
# 32-bit code does not run. ctest starts every Wine test through this (cmake/wine_tests.cmake).
#
#   run_in_windows_root.sh BUILD_DIR -- COMMAND [ARG...]
#
# scripts/run_tests.sh finds the root and how 32-bit code runs once for all tests; a test run by
# hand finds them itself.
set -u
build_dir=$(realpath "${1:?build directory}")
shift
[[ ${1:-} == -- ]] && shift
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/windows_root.sh"
# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"

[[ -v SETUP_TESTS_I386 ]] || windows_root_prepare
if [[ -z $SETUP_TESTS_WINDOWS_ROOT ]]; then
    echo "skipped: no Windows test root: $SETUP_TESTS_NO_WINDOWS_ROOT"
    exit "$WINE_SKIP_CODE"
fi
arch=$(wine_build_arch "$build_dir") || exit 1
if [[ $arch == win32 ]]; then
    if [[ $SETUP_TESTS_I386 == none ]]; then
        echo "skipped: the i686 build needs 32-bit code; $SETUP_TESTS_I386_REPORT"
        exit "$WINE_SKIP_CODE"
    fi
    echo "$SETUP_TESTS_I386_REPORT"
fi
windows_root_run --bind "$build_dir" -- "$@"
