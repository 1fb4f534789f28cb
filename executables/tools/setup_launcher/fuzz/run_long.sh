#!/usr/bin/env bash
# Runs every fuzz target for longer than the tests do, side by side, and keeps what they found:
# afterwards each target's inputs are merged into its committed corpus (corpus/<name>/), which
# takes only the inputs that reach code the corpus did not reach yet. Commit what it adds.
#
# Usage: run_long.sh [MINUTES] [BUILD_DIR]
#   MINUTES    how long each target runs (default 30); all of them run at the same time
#   BUILD_DIR  the native build (default build/native of this repository)
# Crashes are kept in BUILD_DIR/fuzz_long.*/ with the target's name as prefix; the script then
# fails.
set -uo pipefail

minutes=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../../.." && pwd)
build_dir=$(realpath "${2:-$root/build/native}")
binaries=$build_dir/executables/tools/setup_launcher/fuzz

# corpus name, fuzzer, dictionary
targets=(
    "chain chain_fuzzer chain.dict"
    "read_path read_path_fuzzer read_path.dict"
)

work=$(mktemp -d "$build_dir/fuzz_long.XXXXXX") || exit 1
pids=()
for target in "${targets[@]}"; do
    read -r name fuzzer dictionary <<<"$target"
    [[ -x $binaries/$fuzzer ]] || {
        echo "run_long.sh: $binaries/$fuzzer is missing; build the native preset first" >&2
        exit 1
    }
    mkdir -p "$work/$name"
    cp "$here/corpus/$name/"* "$work/$name/"
    echo "$fuzzer: running for $minutes min, log in $work/$name.log"
    "$binaries/$fuzzer" -max_total_time=$((minutes * 60)) -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -dict="$here/$dictionary" -artifact_prefix="$work/$name-" \
        "$work/$name" >"$work/$name.log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    read -r name fuzzer dictionary <<<"${targets[$i]}"
    if ! wait "${pids[$i]}"; then
        echo "$fuzzer: FAILED, see $work/$name.log and $work/$name-*" >&2
        status=1
    fi
done

for target in "${targets[@]}"; do
    read -r name fuzzer dictionary <<<"$target"
    before=$(find "$here/corpus/$name" -type f | wc -l)
    "$binaries/$fuzzer" -merge=1 "$here/corpus/$name" "$work/$name" >>"$work/$name.merge.log" 2>&1 ||
        status=1
    after=$(find "$here/corpus/$name" -type f | wc -l)
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log" | tail -n 1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/$name.log" | tail -n 1)
    echo "$fuzzer: ${executions:-?} executions in $minutes min, $coverage;" \
        "corpus/$name: $before -> $after inputs, $(cat "$here/corpus/$name/"* | wc -c) bytes"
done
exit "$status"
