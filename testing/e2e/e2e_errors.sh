#!/usr/bin/env bash
# End to end, the error boxes a payload can cause: a file whose data was changed after packing, a
# header whose size field is off by one, a name that two files share, and a command whose program
# doesn't exist. Each box is read whole and answered with OK; the launcher then exits with 1, runs
# no further command and leaves its extraction directory behind.
#
#   e2e_errors.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER
#
# The damaged files are made by the chain maker, since setup_packer refuses to make them.
set -uo pipefail

# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_start e2e_errors

unit=executables/tools/setup_launcher/src/attachments.cpp
declare -A title=([en]=Error [de]=Fehler)
declare -A line_word=([en]=line [de]=zeile)
declare -A copy_help=(
    [en]='\n\nYou can copy the text of this error message by pressing ctrl+c and then You\ncan easily post it with ctrl+v in a support forum or in emails to the support.'
    [de]='\n\nSie können den Text dieser Fehlermeldung mittel Strg+c kopieren und dann\nmit Strg+v im Support Forum oder in Emails an den Support einfügen.')

# Answers the error box with OK and checks its title and its whole text (as the driver prints it:
# backslashes, CR and LF escaped). The message is given literally, except that "#" stands for a
# number, and so is the report's source line. No line of errno or of the system's last error is
# expected: the reader's checks fail no call, and Wine's shell leaves no error code behind a
# program it could not find.
expect_box() {
    local what=$1 language=$2 message=$3 source_unit=$4
    drive --class '#32770' --title "${title[$language]}" --timeout 20000 --dump --press 1 --wait-gone
    check "$what: box answered" "0 " "$driven"
    local pattern
    pattern=$(regex_quote "${message//\\/\\\\}\\n\\n$source_unit (${line_word[$language]} #")
    check_match "$what: box text" \
        "^${pattern//#/[0-9]+}\\)$(regex_quote "${copy_help[$language]}")\$" \
        "$(box_text "$out")"
}

# A command after the damaged file, run in the extraction directory, which must never run.
never=(--command 0x0A "$recorder_win" "never runs")

# ---- Data that differs from its checksum: the file is written whole, then its checksum fails

new_case corrupt_file
head -c 200000 /dev/urandom >"$case_dir/payload.bin"
make_chain --file x "$case_dir/payload.bin" --checksum 0x12345678 "${never[@]}"
start_launcher
expect_box "corrupt file" en "Error reading 'setup.exe': file 'x' is corrupted" "$unit"
finish_launcher
check "corrupt file: exit code" 1 "$exit_code"
check "corrupt file: no command ran" "" "$(records)"
check_match "corrupt file: the written file stays in the extraction directory" \
    '^VOQSETUP[0-9]+\|VOQSETUP[0-9]+/x$' "$(tmp_listing | tr '\n' '|' | sed 's/|$//')"

# ---- A header size one too large, in English and in German

corrupt_header() {
    local language=$1 message=$2
    new_case "corrupt_header_$language"
    head -c 5000 /dev/urandom >"$case_dir/update.msp"
    make_chain --file update.msp "$case_dir/update.msp" --header-size-delta 1 "${never[@]}"
    start_launcher
    expect_box "corrupt header ($language)" "$language" "$message" "$unit"
    finish_launcher
    check "corrupt header ($language): exit code" 1 "$exit_code"
    check "corrupt header ($language): no command ran" "" "$(records)"
    check "corrupt header ($language): nothing was extracted" "" "$(tmp_listing)"
}
corrupt_header en "Error reading 'setup.exe': header corrupt"
LANG=de_DE.UTF-8 corrupt_header de "Fehler beim Lesen von 'setup.exe': Header beschädigt"

# ---- Two files of one name

new_case file_twice
printf 'first\n' >"$case_dir/first.txt"
printf 'other\n' >"$case_dir/second.txt"
make_chain --file x "$case_dir/first.txt" --file x "$case_dir/second.txt" "${never[@]}"
start_launcher
extraction_dir_win=$(unix_to_wine_path "$case_tmp")
expect_box "file twice" en "File '$extraction_dir_win\\VOQSETUP#\\x' already exists" "$unit"
finish_launcher
check "file twice: exit code" 1 "$exit_code"
check "file twice: no command ran" "" "$(records)"
check "file twice: the first file stays" first "$(cat "$case_tmp"/VOQSETUP*/x 2>&1)"

# ---- A program that doesn't exist: the shell's own box first, then the launcher's report

new_case failed_command
pack --command x --params y \
    --command "$recorder_win" --params "never runs"
start_launcher
drive --class '#32770' --title Error --timeout 20000 --dump --press 1 --wait-gone
check "failed command: the shell's box answered" "0 " "$driven"
# Wine's text; Windows words its own box differently.
check "failed command: the shell's own text" 'File not found.\r\n' "$(box_text "$out")"
expect_box "failed command" en "Failed to execute 'x' with parameters 'y'" \
    executables/tools/setup_launcher/src/file_helpers.cpp
finish_launcher
check "failed command: exit code" 1 "$exit_code"
check "failed command: the next command didn't run" "" "$(records)"

e2e_finish
