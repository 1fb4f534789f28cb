#!/usr/bin/env bash
# Hostile file names under Wine with the real launcher: device names, components that Windows
# renames, ':', control and reserved characters, and names too long for a Windows path below the
# extraction directory. setup_packer refuses all of them, so the chain maker writes the chains.
# Each one stops the launcher with the box "Error reading 'setup.exe': invalid file name '...'"
# and exit code 1, and leaves TMP as it was. Names just inside the length limits are extracted.
#
#   hostile_names_test.sh BUILD_DIR SETUP_LAUNCHER_EXE RECORD_COMMAND_TEST_EXE UI_DRIVER_EXE
#                         CHAIN_MAKER
set -uo pipefail

build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?setup_launcher.exe}")
recorder=$(realpath "${3:?record_command_test.exe}")
ui_driver=$(realpath "${4:?ui_driver.exe}")
chain_maker=$(realpath "${5:?host corpus_generator, the chain maker}")
# shellcheck source=../../../../testing/wine/harness.sh
source "$(dirname "$0")/../../../../testing/wine/harness.sh"

# UTF-8, so that bash counts and encodes characters rather than bytes.
wine_script_start hostile_names_test en_US.UTF-8

# ---- Refused names ----

# Runs the case's setup.exe, reads its error box and answers it; checks the box's first line,
# the reporting unit, the exit code and that TMP stayed empty.
expect_refused() {
    local what=$1 name=$2
    start_launcher
    answer_box
    finish_launcher
    check "$what: the box was answered" "0 " "$driven"
    check "$what: the box" "Error reading 'setup.exe': invalid file name '$name'" \
        "$(sed -n 1p <<<"$box")"
    check "$what: reported by the reader" "executables/tools/setup_launcher/src/attachments.cpp" \
        "$(sed -n '3s/ (line [0-9]*)$//p' <<<"$box")"
    check "$what: exit code" 1 "$exit_code"
    check "$what: nothing in TMP" "" "$(tmp_listing)"
}

refused_names=(
    CON 'sub/nul.txt' 'Com1.log' lpt9 'AUX .txt' 'CONOUT$' $'LPT\u00b2.txt' 'deep\er\prn'
    'readme.txt.' 'dir /a.txt' '..\evil.txt' 'a/./b.txt' 'x//y.txt' '\evil.txt' '//server/x'
    'a.txt:stream' 'C:\evil.txt'
    $'a\x01b.txt' $'tab\there' 'a<b' 'a>b' 'a"b' 'a|b' 'a?b' 'a*b'
)
for index in "${!refused_names[@]}"; do
    name=${refused_names[index]}
    new_case "refused_$index"
    # The hostile file is read first; the command before it in the chain never runs.
    make_chain --empty "$name" --command 0x0A "$recorder_win" never
    expect_refused "$(printf '%q' "$name")" "$name"
done

# ---- Lengths ----

# Below TMP the extraction directory is TMP\VOQSETUP2\. A path may take 259 units, a directory
# created with its closing separator 247.
new_case too_long
root_length=$((${#case_tmp_win} + 11)) # "\VOQSETUP2\" is 11 units
longest=$(printf 'n%.0s' $(seq $((259 - root_length))))
deepest=$(printf 'd%.0s' $(seq $((247 - root_length - 1))))
echo "extraction directory: $case_tmp_win\\VOQSETUP2\\ ($root_length units)"

make_chain --empty "${longest}n"
expect_refused "a name one unit too long" "${longest}n"
new_case too_deep
make_chain --empty "${deepest}d\\f"
expect_refused "a directory one unit too long" "${deepest}d\\f"

# Just inside both limits, the files are created: the recorder, run in the extraction directory,
# finds them. The case directories' names are as long as the two above, so that the extraction
# directory's path is as long as it was there.
declare -A fitting=([fitslong]=$longest [fitsdeep]="$deepest\\f")
for case_name in fitslong fitsdeep; do
    name=${fitting[$case_name]}
    new_case "$case_name"
    make_chain --empty "$name" --command 0x0A "$recorder_win" fits
    RECORD_COMMAND_CHECK_FILE=$name run_launcher
    check "${#name} units: exit code" 0 "$exit_code"
    check "${#name} units: the file was there for the command" "fits | exists: $name" \
        "$(records | sed 's/ | [^|]* | / | /')"
    check "${#name} units: nothing left in TMP" "" "$(tmp_listing)"
done

wine_script_finish
