#!/usr/bin/env bash
# The case runners are called through xargs and bash -c; the texts in single quotes are meant.
# shellcheck disable=SC2016,SC2317
# Runs the launcher over the bad-input corpus: damaged variants of one small valid launcher file
# (two files, two commands, one of them bound to a language), made at test time by
# corpus_generator. Every run must
#   - end within its time bound with exit code 0 or 1;
#   - write nothing outside its own extraction directory: the temporary base directory, the
#     launcher's own directory and the current directory are listed before and after; the only
#     new entry allowed is one VOQSETUP<n> directory in the temporary base, and only after exit 1;
#   - overwrite nothing: a sentinel file and a VOQSETUP2 left over from an earlier run stay as
#     they were;
#   - show exactly one error report when it exits 1 and none when it exits 0;
#   - run no command when it stops with an error while reading or extracting;
#   - where the generator knows the outcome (the valid file, trailing data, joined chains), end
#     with that exit code and those commands run.
# Prints "corpus: N cases, A exit 0, B exit 1, V violations" and fails on any violation.
#
# Usage:
#   run_corpus.sh native BUILD_DIR GENERATOR PACKER LAUNCHER
#   run_corpus.sh wine BUILD_DIR GENERATOR_EXE PACKER_EXE LAUNCHER_EXE UI_DRIVER_EXE [SAMPLE_SIZE]
# Natively every case runs, four at a time. Under Wine a sample of SAMPLE_SIZE cases (default 50)
# runs one at a time, since an error box is found by its class and must belong to the one run.
set -uo pipefail

mode=${1:?mode: native or wine}
build_dir=$(realpath "${2:?build directory}")
generator=$(realpath "${3:?generator}")
packer=$(realpath "${4:?packer}")
launcher=$(realpath "${5:?launcher}")
ui_driver=${6:-}
sample_size=${7:-50}

work=$(mktemp -d "$build_dir/corpus_run.$mode.XXXXXX") || exit 1
mkdir -p "$work/payload" "$work/cases" "$work/runs" "$work/results"
printf 'first file\n' >"$work/payload/a.txt"
printf 'second file, in a directory\n' >"$work/payload/b.txt"

if [[ $mode == native ]]; then
    # The commands write their tag into a log outside every directory under test, by its
    # absolute path, so that they write the same place whatever working directory a damaged
    # flag gives them. PATH is empty for the launcher: a program name made of stray bytes
    # finds nothing to start.
    common_program=/bin/sh
    common_params='-c "echo common >> \"$CORPUS_LOG\""'
    de_params='-c "echo de >> \"$CORPUS_LOG\""'
    payload_dir=$work/payload
elif [[ $mode == wine ]]; then
    [[ -n $ui_driver ]] || {
        echo "run_corpus.sh: wine needs the UI driver" >&2
        exit 2
    }
    ui_driver=$(realpath "$ui_driver")
    # shellcheck source=../../../../testing/wine/harness.sh
    source "$(dirname "$0")/../../../../testing/wine/harness.sh"
    wine_test_start "$build_dir" en_US.UTF-8 || exit 1
    common_program=cmd.exe
    common_params='/c echo common>>"%CORPUS_LOG%"'
    de_params='/c echo de>>"%CORPUS_LOG%"'
    payload_dir=$(unix_to_wine_path "$work/payload")
else
    echo "run_corpus.sh: unknown mode $mode" >&2
    exit 2
fi

# JSON strings of the parameter texts: backslash and quote escaped.
json() {
    local text=${1//\\/\\\\}
    printf '"%s"' "${text//\"/\\\"}"
}
cat >"$work/payload/manifest.json" <<EOF
{"attachments": [
  {"file": "a.txt"},
  {"file": "b.txt", "name": "sub/b.txt"},
  {"command": "$common_program", "params": $(json "$common_params"), "in_extraction_dir": true},
  {"command": "$common_program", "params": $(json "$de_params"), "lcid": "0x0407"}
]}
EOF

# ---------------------------------------------------------------------------- the corpus

if [[ $mode == native ]]; then
    # The native launcher is no PE image: setup_packer packs behind a stand-in.
    # shellcheck source=../../../../testing/pe_stub.sh
    source "$(dirname "$0")/../../../../testing/pe_stub.sh"
    pack_behind "$packer" "$launcher" "$work/packed" \
        --manifest "$work/payload/manifest.json" >/dev/null || exit 1
    "$generator" "$launcher" "$work/packed" "$work/cases" >/dev/null || exit 1
else
    wine "$packer" build --launcher "$(unix_to_wine_path "$launcher")" \
        --output "$(unix_to_wine_path "$work/packed")" \
        --manifest "$payload_dir\\manifest.json" >/dev/null || exit 1
    wine "$generator" "$(unix_to_wine_path "$launcher")" "$(unix_to_wine_path "$work/packed")" \
        "$(unix_to_wine_path "$work/cases")" >/dev/null || exit 1
fi
[[ -s $work/cases/cases.tsv ]] || {
    echo "run_corpus.sh: no cases generated" >&2
    exit 1
}

# ---------------------------------------------------------------------------- one run

# Path, kind, size and modification time (in nanoseconds) of everything below a directory: a
# file written again, even with the same bytes, shows a new time.
listing() {
    (cd "$1" && find . -mindepth 1 -printf '%P|%y|%s|%T@\n' | LC_ALL=C sort)
}

# The run's directories: bin (the launcher file alone), tmp (the temporary base with a sentinel
# and a leftover VOQSETUP2), cwd (the current directory, empty).
prepare_run() {
    local id=$1 cut=$2 dir=$3 name=$4
    mkdir -p "$dir/bin" "$dir/tmp/VOQSETUP2" "$dir/cwd"
    head -c "$cut" "$launcher" >"$dir/bin/$name"
    cat "$work/cases/$id.tail" >>"$dir/bin/$name"
    chmod +x "$dir/bin/$name"
    printf 'sentinel\n' >"$dir/tmp/sentinel.txt"
    printf 'left over\n' >"$dir/tmp/VOQSETUP2/keep.txt"
    listing "$dir/tmp" >"$dir/tmp.before"
    listing "$dir/bin" >"$dir/bin.before"
}

# Checks one finished run; appends "id rc label" and any violations to its result file.
check_run() {
    local id=$1 expect_exit=$2 expect_log=$3 label=$4 dir=$5 rc=$6 reports=$7 message=$8
    local violations=() entry log
    if [[ $rc != 0 && $rc != 1 ]]; then
        violations+=("exit code $rc")
    fi
    # The temporary base: what was there is untouched; new are only VOQSETUP<n> directories,
    # and only after a failure.
    while IFS= read -r entry; do
        [[ $entry == sentinel.txt || $entry == VOQSETUP2 ]] && continue
        if [[ ! $entry =~ ^VOQSETUP[0-9]+$ || ! -d $dir/tmp/$entry || -L $dir/tmp/$entry ]]; then
            violations+=("wrote '$entry' into the temporary directory")
        elif [[ $rc == 0 ]]; then
            violations+=("left '$entry' behind after exit 0")
        fi
    done < <(ls -A "$dir/tmp")
    if ! diff -q <(listing "$dir/tmp" | grep -E '^(sentinel\.txt|VOQSETUP2)(/|\|)') \
        "$dir/tmp.before" >/dev/null; then
        violations+=("changed the sentinel or the leftover VOQSETUP2")
    fi
    diff -q <(listing "$dir/bin") "$dir/bin.before" >/dev/null ||
        violations+=("wrote into the launcher's own directory")
    [[ -z $(ls -A "$dir/cwd") ]] || violations+=("wrote into the current directory")
    if [[ $rc == 1 && $reports != 1 ]]; then
        violations+=("$reports error reports with exit 1")
    elif [[ $rc == 0 && $reports != 0 ]]; then
        violations+=("$reports error reports with exit 0")
    fi
    log=
    [[ -f $dir/ran.log ]] && log=$(tr -d '\r' <"$dir/ran.log" | paste -sd, -)
    # Commands run only after the whole chain was read; a failed start of one is the only
    # report that may follow commands.
    if [[ $rc == 1 && -n $log && ! $message =~ ^(Failed\ to\ execute|Failed\ to\ close) ]]; then
        violations+=("commands ran ($log) before the report '$message'")
    fi
    if [[ $expect_exit != - && $rc != "$expect_exit" ]]; then
        violations+=("expected exit $expect_exit")
    fi
    if [[ $rc == 0 && $expect_log != - ]]; then
        [[ $expect_log == none ]] && expect_log=
        [[ $log == "$expect_log" ]] || violations+=("commands ran '$log', expected '$expect_log'")
    fi
    {
        printf '%s %s %s' "$id" "$rc" "$label"
        [[ -n $message ]] && printf ' [%s]' "$message"
        printf '\n'
        for entry in "${violations[@]}"; do
            printf 'VIOLATION %s (%s): %s\n' "$id" "$label" "$entry"
        done
    } >"$work/results/$id"
    if ((${#violations[@]} == 0)); then
        rm -rf "$dir"
    else
        rm -f "$dir/bin/"*  # the tail in cases/ rebuilds it
    fi
}

run_native_case() {
    local id=$1 cut=$2 expect_exit=$3 expect_log=$4 label=$5
    local dir=$work/runs/$id rc reports message
    prepare_run "$id" "$cut" "$dir" setup
    # A crash found by the sanitizers must not pass for the launcher's own exit code 1.
    (cd "$dir/cwd" && timeout -k 5 30 env -i PATH="$dir/cwd/no-path" LANG=C.UTF-8 \
        TMP="$dir/tmp" TMPDIR="$dir/tmp" CORPUS_LOG="$dir/ran.log" \
        ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=exitcode=87:print_stacktrace=1 \
        "$dir/bin/setup" </dev/null >"$dir/stdout" 2>"$dir/stderr")
    rc=$?
    # A report is its title line followed by the message; the message names its source line.
    reports=$(grep -cxE 'Error|Fehler' "$dir/stderr")
    message=$(sed -n '/^\(Error\|Fehler\)$/{n;p;q}' "$dir/stderr")
    if [[ $reports != "$(grep -cE ' \((line|zeile) [0-9]+\)$' "$dir/stderr")" ]]; then
        reports="malformed"
    fi
    check_run "$id" "$expect_exit" "$expect_log" "$label" "$dir" "$rc" "$reports" "$message"
}

run_wine_case() {
    local id=$1 cut=$2 expect_exit=$3 expect_log=$4 label=$5
    local dir=$work/runs/$id pid rc reports=0 shell_boxes=0 message='' text
    prepare_run "$id" "$cut" "$dir" setup.exe
    wine_tmp_dir "$dir/tmp"
    (
        cd "$dir/cwd" &&
            CORPUS_LOG=$(unix_to_wine_path "$dir/ran.log") exec timeout -k 5 60 \
                wine "$dir/bin/setup.exe" </dev/null >"$dir/stdout" 2>"$dir/stderr"
    ) &
    pid=$!
    # Every box the launcher shows is read and answered while it runs; a second report would
    # keep it alive and be counted too.
    answer_error_boxes_while "$pid" "$dir/boxes"
    for text in "${boxes_seen[@]}"; do
        if [[ $text =~ \ \(line\ [0-9]+\) ]]; then
            reports=$((reports + 1))
            [[ -z $message ]] && message=$(head -n 1 <<<"$text")
        else
            shell_boxes=$((shell_boxes + 1))  # the shell's own message about a failed start
        fi
    done
    wait "$pid"
    rc=$?
    # Without the quiet flag a failed start shows the shell's own message before the report.
    if ((shell_boxes > 0)); then
        [[ $message =~ ^Failed\ to\ execute ]] || reports="$reports+$shell_boxes"
        message="$message (after $shell_boxes message box(es) of the shell)"
    fi
    check_run "$id" "$expect_exit" "$expect_log" "$label" "$dir" "$rc" "$reports" "$message"
}

# ---------------------------------------------------------------------------- all runs

start=$SECONDS
if [[ $mode == native ]]; then
    export work launcher
    export -f listing prepare_run check_run run_native_case
    tr '\t' '\037' <"$work/cases/cases.tsv" |
        xargs -P 4 -d '\n' -n 1 bash -c \
            'IFS=$'"'"'\037'"'"' read -r id cut ex lg label <<<"$1"
             run_native_case "$id" "$cut" "$ex" "$lg" "$label"' _
else
    # The sample: the cases whose outcome is known, then cases spread evenly over the rest. The
    # image of a Windows program can't be cut: its loader refuses it before the launcher runs.
    grep -v $'\ttruncated to image-' "$work/cases/cases.tsv" >"$work/candidates.tsv"
    {
        grep -E $'\t(valid|joined with .*|a bare signature appended|trailing signature.s first 11 bytes)$' \
            "$work/candidates.tsv"
        grep -vE $'\t(valid|joined with .*|a bare signature appended|trailing signature.s first 11 bytes)$' \
            "$work/candidates.tsv" |
            awk -v want="$sample_size" -v total="$(wc -l <"$work/candidates.tsv")" \
                'BEGIN { step = total / (want - 5); if (step < 1) step = 1; next_pick = 0 }
                 NR - 1 >= next_pick { print; next_pick += step }'
    } | head -n "$sample_size" >"$work/sample.tsv"
    while IFS=$'\t' read -r id cut ex lg label; do
        run_wine_case "$id" "$cut" "$ex" "$lg" "$label"
    done <"$work/sample.tsv"
fi

cat "$work/results/"* >"$work/results.txt"
cases=$(grep -cv '^VIOLATION' "$work/results.txt")
exit0=$(grep -v '^VIOLATION' "$work/results.txt" | awk '$2 == 0' | wc -l)
exit1=$(grep -v '^VIOLATION' "$work/results.txt" | awk '$2 == 1' | wc -l)
violation_count=$(grep -c '^VIOLATION' "$work/results.txt")
grep '^VIOLATION' "$work/results.txt"
echo "Outcomes: $work/results.txt ($((SECONDS - start)) s)"
summary="$cases cases, $exit0 exit 0, $exit1 exit 1, $violation_count violations"
if [[ $mode == native ]]; then
    echo "corpus: $summary"
else
    echo "corpus (wine sample): $summary"
fi
if ((violation_count == 0)); then
    # The outcomes stay; the cases can be made again.
    rm -rf "$work/runs" "$work/cases" "$work/payload" "$work/packed"
    exit 0
fi
exit 1
