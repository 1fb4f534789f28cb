#!/usr/bin/env bash
# Installs what is missing, builds both configurations and runs every test through ctest:
# the Windows programs under Wine, the portable code natively under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_dependencies.sh

cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset native >/dev/null
cmake --build --preset native

# The tests choose their interface languages through LANG; nothing else may override it.
unset LC_ALL LC_MESSAGES LANGUAGE
export LANG=C.UTF-8

jobs=$(nproc)
status=0
ctest --preset windows -j "$jobs" --timeout 600 2>&1 | tee build/windows-tests.log || status=1
ctest --preset native -j "$jobs" --timeout 600 2>&1 | tee build/native-tests.log || status=1

# One closing line for both runs.
count() { grep -hE "tests passed, [0-9]+ tests failed out of" "$@" |
          sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/'; }
read -r failed_w total_w < <(count build/windows-tests.log) || true
read -r failed_n total_n < <(count build/native-tests.log) || true
failed=$((${failed_w:-0} + ${failed_n:-0}))
passed=$((${total_w:-0} + ${total_n:-0} - failed))
echo "$passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
