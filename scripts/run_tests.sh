#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test through ctest: the
# Windows programs of both builds (i686 and x86-64) under Wine, the portable code natively under
# the sanitizers and again as released (optimised). Closes with one line: "N passed, N failed,
# N skipped".
#
# Windows tests that this host cannot run are skipped with the reason (WINE_NO_I386=1 treats the
# host as one without 32-bit support). A host that runs neither build fails the run, unless
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

# Which Windows builds run here is found out once; every test inherits the answer.
source testing/wine/wine_env.sh
unset WINE_HOST_WIN32 WINE_HOST_WIN64
wine_host_probe
echo "Wine on this host: i686 build: $WINE_HOST_WIN32; x86-64 build: $WINE_HOST_WIN64"
status=0
if [[ $WINE_HOST_WIN32 != yes && $WINE_HOST_WIN64 != yes ]]; then
    if [[ ${ALLOW_NO_WINE:-} == 1 ]]; then
        echo "No Windows build runs here; the Windows tests are skipped (ALLOW_NO_WINE=1)."
    else
        echo "No Windows build runs here; the Windows tests are skipped and this run fails." \
            "Set ALLOW_NO_WINE=1 if that is expected." >&2
        status=1
    fi
fi

jobs=$(nproc)
for preset in "${configurations[@]}"; do
    ctest --preset "$preset" -j "$jobs" --timeout 600 2>&1 | tee "build/$preset-tests.log" || status=1
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
        echo "  because: $(wine_host_can_run "$(wine_build_arch "build/$preset")")"
    fi
    failed=$((failed + ${failed_here:-0}))
    skipped=$((skipped + skipped_here))
    passed=$((passed + ${total_here:-0} - ${failed_here:-0} - skipped_here))
done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
