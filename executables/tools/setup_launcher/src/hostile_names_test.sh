#!/usr/bin/env bash
# Hostile file names under Wine with the real launcher: device names, components that Windows
# renames, ':', control and reserved characters, and names too long for a Windows path below the
# extraction directory. setup_packer refuses all of them, so the chain is written here directly.
# Each one stops the launcher with the box "Error reading 'setup.exe': invalid file name '...'"
# and exit code 1, and leaves TMP as it was. Names just inside the length limits are extracted.
#
#   hostile_names_test.sh BUILD_DIR SETUP_LAUNCHER_EXE RECORD_COMMAND_TEST_EXE UI_DRIVER_EXE
set -uo pipefail

build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?setup_launcher.exe}")
recorder=$(realpath "${3:?record_command_test.exe}")
ui_driver=$(realpath "${4:?ui_driver.exe}")
# shellcheck source=../../../../testing/wine/wine_env.sh
source "$(dirname "$0")/../../../../testing/wine/wine_env.sh"

# UTF-8, so that bash counts and encodes characters rather than bytes.
wine_test_start "$build_dir" en_US.UTF-8 || exit 1
work=$(mktemp -d "$build_dir/hostile_names_test.XXXXXX") || exit 1

# shellcheck source=/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/checks.sh"

# ---- Writing a chain by hand ----

# A number's bytes, little-endian, as printf escapes: le VALUE COUNT
le() {
    local i
    for ((i = 0; i < $2; i++)); do
        printf '\\x%02x' $(($1 >> (8 * i) & 255))
    done
}

utf16le() {
    local i unit
    for ((i = 0; i < ${#1}; i++)); do
        printf -v unit '%d' "'${1:i:1}"
        le "$unit" 2
    done
}

# Appends an attachment without data to FILE: append_attachment FILE FLAGS NAME [PARAMETERS].
# Flags 0x01 make it an empty file (its checksum is 1), 0x0A a command run in the extraction
# directory.
append_attachment() {
    local file=$1 flags=$2 name=$3 parameters=${4:-}
    local escapes
    escapes=$(utf16le "$name")$(utf16le "$parameters")
    escapes+=$(le ${#name} 2)$(le ${#parameters} 2)$(le 0 8)$(le 1 4)$(le "$flags" 1)
    escapes+=$(le $((2 * ${#name} + 2 * ${#parameters} + 33)) 4)
    # shellcheck disable=SC2059  # the escapes are the format
    printf "${escapes}VOQSETUP_1.0" >>"$file"
}

# A new case directory with setup.exe and a TMP of its own; sets case_dir, tmp and tmp_win.
new_case() {
    case_dir=$(mktemp -d "$work/case.XXXXXX")
    cp "$launcher" "$case_dir/setup.exe"
    tmp=$case_dir/tmp
    mkdir "$tmp"
    wine_tmp_dir "$tmp"
    tmp_win=$(unix_to_wine_path "$tmp")
}

# ---- Refused names ----

# Runs setup.exe of the case, reads its error box and answers it; checks the box's first line,
# the reporting unit, the exit code and that TMP stayed empty.
expect_refused() {
    local what=$1 name=$2 dump text code
    (cd "$case_dir" && timeout 120 wine setup.exe 2>>"$work/wine.log") &
    local pid=$!
    dump=$(timeout 60 wine "$ui_driver" --class '#32770' --timeout 30000 --dump --press 1 \
        --wait-gone 2>>"$work/wine.log")
    wait "$pid"
    code=$?
    # The driver escapes backslashes, CR and LF; printf %b takes that back.
    text=$(printf '%b' "$(sed -n 's/^control: class=Static id=65535 text=//p' <<<"$dump")")
    check "$what: the box" "Error reading 'setup.exe': invalid file name '$name'" \
        "$(sed -n 1p <<<"$text")"
    check "$what: reported by the reader" "executables/tools/setup_launcher/src/attachments.cpp" \
        "$(sed -n '3s/ (line [0-9]*)$//p' <<<"$text")"
    check "$what: exit code" 1 "$code"
    check "$what: nothing in TMP" "" "$(ls -A "$tmp")"
}

refused_names=(
    CON 'sub/nul.txt' 'Com1.log' lpt9 'AUX .txt' 'CONOUT$' $'LPT\u00b2.txt' 'deep\er\prn'
    'readme.txt.' 'dir /a.txt' '..\evil.txt' 'a/./b.txt' 'x//y.txt' '\evil.txt' '//server/x'
    'a.txt:stream' 'C:\evil.txt'
    $'a\x01b.txt' $'tab\there' 'a<b' 'a>b' 'a"b' 'a|b' 'a?b' 'a*b'
)
for name in "${refused_names[@]}"; do
    new_case
    # The hostile file is read first; the command before it in the chain never runs.
    append_attachment "$case_dir/setup.exe" 0x0A "$(unix_to_wine_path "$recorder")" never
    append_attachment "$case_dir/setup.exe" 0x01 "$name"
    expect_refused "$(printf '%q' "$name")" "$name"
done

# ---- Lengths ----

# Below TMP the extraction directory is TMP\VOQSETUP2\. A path may take 259 units, a directory
# created with its closing separator 247.
new_case
root_length=$((${#tmp_win} + 11)) # "\VOQSETUP2\" is 11 units
longest=$(printf 'n%.0s' $(seq $((259 - root_length))))
deepest=$(printf 'd%.0s' $(seq $((247 - root_length - 1))))
echo "extraction directory: $tmp_win\\VOQSETUP2\\ ($root_length units)"

append_attachment "$case_dir/setup.exe" 0x01 "${longest}n"
expect_refused "a name one unit too long" "${longest}n"
new_case
append_attachment "$case_dir/setup.exe" 0x01 "${deepest}d\\f"
expect_refused "a directory one unit too long" "${deepest}d\\f"

# Just inside both limits, the files are created: the recorder, run in the extraction directory,
# finds them.
for name in "$longest" "$deepest\\f"; do
    new_case
    append_attachment "$case_dir/setup.exe" 0x0A "$(unix_to_wine_path "$recorder")" fits
    append_attachment "$case_dir/setup.exe" 0x01 "$name"
    (
        cd "$case_dir" &&
            RECORD_COMMAND_LOG="$(unix_to_wine_path "$case_dir/command.log")" \
                RECORD_COMMAND_CHECK_FILE="$name" timeout 120 wine setup.exe 2>>"$work/wine.log"
    )
    check "${#name} units: exit code" 0 $?
    check "${#name} units: the file was there for the command" "exists: $name" \
        "$(sed -n 3p "$case_dir/command.log" 2>/dev/null | tr -d '\r')"
    check "${#name} units: nothing left in TMP" "" "$(ls -A "$tmp")"
done

if ((failures == 0)); then
    rm -rf "$work"
    echo "all hostile name checks passed"
    exit 0
fi
echo "$failures check(s) failed; files kept in $work"
exit 1
