#!/usr/bin/env bash
# Conditions in single quotes are meant: check_true evaluates them when it checks.
# shellcheck disable=SC2016,SC2317
# The file helpers under Wine: the extraction directory's number, its intermediate directories,
# the error box for a directory that can't be created, deletion of what can't be deleted, and
# commands opened through the shell (working directory, parameters, missing programs).
# Usage: file_helpers_test.sh BUILD_DIR FILE_HELPERS_TEST_EXE RECORD_COMMAND_TEST_EXE UI_DRIVER_EXE
set -uo pipefail

build_dir=$1 test_exe=$2 recorder=$3 ui_driver=$4
# shellcheck source=../../../../testing/wine/harness.sh
source "$(dirname "$0")/../../../../testing/wine/harness.sh"
wine_script_start file_helpers_test en_US.UTF-8

# The value of "key: value" in a scenario's output.
value() { sed -n "s/^$1: //p" <<<"$2"; }

scenario() { timeout 60 wine "$test_exe" "$@" 2>>"$work/wine.log"; }

# Reads the message boxes of a scenario running in the background and answers each with OK.
# Sets box_texts (the boxes' texts, in order) and scenario_exit.
answer_boxes() {
    local pid=$1 expected_boxes=$2 i
    box_texts=()
    for ((i = 0; i < expected_boxes; i++)); do
        answer_box || break
        box_texts+=("$box")
    done
    wait "$pid"
    scenario_exit=$?
}

# ---- Own path and file existence ----

out=$(scenario own)
check "own: exit code" 0 $?
test_exe_win=$(unix_to_wine_path "$test_exe")
check "own_path" "$test_exe_win" "$(value own_path "$out")"
check "own_file_name" "file_helpers_test.exe" "$(value own_file_name "$out")"
check "own_directory" "${test_exe_win%\\*}\\" "$(value own_directory "$out")"
check "file_exists on the own file" 1 "$(value file_exists_own_path "$out")"
check "file_exists on a directory" 0 "$(value file_exists_own_directory "$out")"

# ---- Numbering: a leftover VOQSETUP2 in TMP ----

new_case numbering
mkdir "$case_tmp/VOQSETUP2"
out=$(scenario numbering)
check "numbering: exit code" 0 $?
check "numbering: the leftover 2 is passed over" "$case_tmp_win\\VOQSETUP3\\" "$(value root "$out")"
check "numbering: a second call gives the same" "$case_tmp_win\\VOQSETUP3\\" "$(value again "$out")"
check_true "numbering: VOQSETUP3 created" '[[ -d $case_tmp/VOQSETUP3 ]]'

# ---- a/b\c.txt creates a and a\b only ----

new_case nested
out=$(scenario nested)
check "nested: exit code" 0 $?
check "nested: the name is returned as passed" "$case_tmp_win\\VOQSETUP2\\a/b\\c.txt" \
    "$(value path "$out")"
check "nested: what was created" "a a/b" \
    "$(cd "$case_tmp/VOQSETUP2" && find . -mindepth 1 | sed 's|^\./||' | sort | tr '\n' ' ' | xargs)"

# ---- A regular file where a directory is needed: the real error box ----

new_case blocked
scenario blocked >"$work/blocked.out" &
answer_boxes $! 1
root=$(value root "$(<"$work/blocked.out")")
check "blocked: the extraction directory" "$case_tmp_win\\VOQSETUP2\\" "$root"
check "blocked: the box's message" "Couldn't create temp directory '${root}a\\'" \
    "$(sed -n 1p <<<"${box_texts[0]:-}")"
check_true "blocked: the box names the file_helpers unit" \
    '[[ $(sed -n 3p <<<"${box_texts[0]:-}") == "executables/tools/setup_launcher/src/file_helpers.cpp (line "* ]]'
check "blocked: exit code" 1 "$scenario_exit"
check "blocked: nothing follows the report" "" "$(value returned "$(<"$work/blocked.out")")"

# ---- Deleting a tree that holds what can't be deleted ----

new_case stuck
out=$(scenario stuck)
check "stuck: exit code" 0 $?
echo "stuck: attributes read-only file $(value read_only_attributes "$out"), hidden directory" \
    "$(value hidden_attributes "$out")"
check "stuck: what stays" "VOQSETUP2 VOQSETUP2/hidden VOQSETUP2/hidden/inner.txt VOQSETUP2/stuck VOQSETUP2/stuck/read_only.txt" \
    "$(cd "$case_tmp" && find . -mindepth 1 | sed 's|^\./||' | sort | tr '\n' ' ' | xargs)"
# Ten attempts at 100 ms each for the read-only file, the hidden directory (handled as a file),
# the directory above the read-only file and the extraction directory.
elapsed=$(value elapsed_ms "$out")
check_true "stuck: about 4 s of retries ($elapsed ms)" '((elapsed >= 3900 && elapsed < 8000))'

# ---- Commands: working directory, parameters, waiting ----

new_case run_extraction
export RECORD_COMMAND_LOG="$case_tmp_win\\command.log"
out=$(scenario run "$recorder_win" '/p "update file.msp" REINSTALL=ALL' extraction)
check "run in the extraction directory: exit code" 0 $?
check "run: waited for the program" 1 "$(value log_on_return "$out")"
check "run: command line" "\"$recorder_win\" /p \"update file.msp\" REINSTALL=ALL" \
    "$(sed -n 1p "$case_tmp/command.log")"
check "run: working directory" "$case_tmp_win\\VOQSETUP2" "$(sed -n 2p "$case_tmp/command.log")"

# A program name without a directory is found in the working directory.
new_case run_own
export RECORD_COMMAND_LOG="$case_tmp_win\\command.log"
out=$(scenario run record_command_test.exe '' own)
check "run in the own directory: exit code" 0 $?
check "run: waited for the program" 1 "$(value log_on_return "$out")"
check "run: working directory is the own directory" "$(value own_directory "$out")" \
    "$(sed -n 2p "$case_tmp/command.log")\\"
check "run: no extraction directory without the flag" "command.log" "$(ls "$case_tmp")"
echo "run: command line for empty parameters: $(sed -n 1p "$case_tmp/command.log")"
unset RECORD_COMMAND_LOG

# ---- A missing program ----

new_case missing
out=$(scenario missing x y quiet)
check "missing, quiet: exit code" 0 $?
check "missing, quiet: run_command returned" 1 "$(value returned "$out")"
check_true "missing, quiet: no window at all" no_box_left

scenario missing x y loud >"$work/loud.out" &
# The shell shows its own box before the launcher's report.
answer_boxes $! 2
check "missing, loud: boxes shown" 2 "${#box_texts[@]}"
echo "missing, loud: the shell's own box: $(printf '%q' "${box_texts[0]:-}")"
check "missing, loud: the report" "Failed to execute 'x' with parameters 'y'" \
    "$(sed -n 1p <<<"${box_texts[1]:-}")"
check "missing, loud: exit code" 1 "$scenario_exit"

wine_script_finish
