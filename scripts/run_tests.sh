#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test through ctest: the
# Windows programs of both builds (i686 and x86-64) under Wine 10 in the Windows test root
# (testing/wine/windows_root.sh), the portable code natively under the sanitizers and again as
# released (optimised). Closes with one line: "N passed, N failed, N skipped".
#
# How 32-bit code runs (natively, or emulated by qemu-i386 where the kernel runs none) is found
# out once and said in the log of each Windows preset; SETUP_TESTS_EMULATE_I386=1 takes the
# emulated path on any host. A host where the Windows tests can't run (no test root, or no
# 32-bit code for the i686 build) skips them with the reason and fails the run, unless
# ALLOW_NO_WINE=1 says that this is expected.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_dependencies.sh

configurations=(windows windows-x64 native release)
for preset in "${configurations[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# The tests choose their interface languages through LANG; nothing else may override it.
unset LC_ALL LC_MESSAGES LANGUAGE
export LANG=C.UTF-8

# The Windows test root and its 32-bit code are found out once; every test inherits the answers.
source testing/wine/windows_root.sh
windows_root_prepare
status=0
if [[ -z $SETUP_TESTS_WINDOWS_ROOT ]]; then
    windows_tests="no Windows test root: $SETUP_TESTS_NO_WINDOWS_ROOT"
elif [[ $SETUP_TESTS_I386 == none ]]; then
    windows_tests="the i686 build's Windows tests can't run: $SETUP_TESTS_I386_REPORT"
fi
if [[ -n ${windows_tests:-} ]]; then
    if [[ ${ALLOW_NO_WINE:-} == 1 ]]; then
        echo "Windows tests skipped ($windows_tests); ALLOW_NO_WINE=1 says that is expected."
    else
        echo "Windows tests skipped ($windows_tests); this run fails." \
            "Set ALLOW_NO_WINE=1 if that is expected." >&2
        status=1
    fi
fi
[[ -z $SETUP_TESTS_WINDOWS_ROOT ]] ||
    echo "Windows tests run in $SETUP_TESTS_WINDOWS_ROOT; $SETUP_TESTS_I386_REPORT."

# wine_tests PRESET RESULT: the Wine tests of that preset whose ctest result is RESULT, on one line.
wine_tests() {
    local names
    names=$(ctest --preset "$1" -N -L '^wine$' | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p' | xargs)
    grep -E "^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* $2 " "build/$1-tests.log" |
        sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*$/\1/' | grep -xF -f <(tr ' ' '\n' <<<"$names") | xargs
}

jobs=$(nproc)
for preset in "${configurations[@]}"; do
    {
        [[ $preset != windows* ]] || echo "$preset: ${windows_tests:-$SETUP_TESTS_I386_REPORT}"
        ctest --preset "$preset" -j "$jobs" --timeout 600
    } 2>&1 | tee "build/$preset-tests.log" || status=1
    if [[ $preset == windows* ]]; then
        echo "Wine tests of $preset that ran and passed: $(wine_tests "$preset" Passed)"
    fi
done

# One closing line for every run. ctest counts a skipped test as not failed.
passed=0 failed=0 skipped=0
for preset in "${configurations[@]}"; do
    log=build/$preset-tests.log
    read -r failed_here total_here < <(grep -hE "tests passed, [0-9]+ tests failed out of" "$log" |
        sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/') || true
    skipped_here=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)
    if ((skipped_here > 0)); then
        echo "Skipped in $preset: $(grep -E '^\s+[0-9]+ - .* \(Skipped\)$' "$log" |
            sed -E 's/^\s+[0-9]+ - (.*) \(Skipped\)$/\1/' | xargs)"
        [[ $preset != windows* ]] || echo "  because: ${windows_tests:-see build/$preset-tests.log}"
    fi
    failed=$((failed + ${failed_here:-0}))
    skipped=$((skipped + skipped_here))
    passed=$((passed + ${total_here:-0} - ${failed_here:-0} - skipped_here))
done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
