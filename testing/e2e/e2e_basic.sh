#!/usr/bin/env bash
# End to end, the plain runs: the typical payload (a patch file and a command that applies it in
# the extraction directory), the same behind trailing data, a launcher without attachments, and a
# payload of commands only.
#
#   e2e_basic.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER
set -uo pipefail

# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_start e2e_basic

patch_parameters="/p update.msp REINSTALL=ALL REINSTALLMODE=omus"

# The patch file and its command: the file is extracted under a progress window, then the command
# finds it in its working directory, the extraction directory, which is gone afterwards.
typical_run() {
    local trailing=$1
    head -c 3000000 /dev/urandom >"$case_dir/update.msp"
    pack --file "$case_dir/update.msp" \
        --command "$recorder_win" --params "$patch_parameters" --in-extraction-dir || return
    if ((trailing > 0)); then
        head -c "$trailing" /dev/urandom >>"$setup"
    fi
    start_watch --title setup.exe
    run_launcher
    check "$case_name: exit code" 0 "$exit_code"
    end_watch
    check "$case_name: the progress window was shown" found "$watched"
    check_match "$case_name: the command ran once, in the extraction directory, beside the file" \
        "^$(regex_quote "$patch_parameters | $(unix_to_wine_path "$case_tmp")")\\\\VOQSETUP[0-9]+ \\| exists: update\\.msp\$" \
        "$(records)"
    check "$case_name: the extraction directory is gone" "" "$(tmp_listing)"
}

case_name="typical payload"
new_case typical
typical_run 0

case_name="typical payload with 4400 bytes of trailing data"
new_case trailing
typical_run 4400

# ---- The bare launcher: nothing to extract, nothing to run

new_case bare
setup=$case_dir/setup.exe
cp "$launcher" "$setup"
start_watch
run_launcher
check "bare launcher: exit code" 0 "$exit_code"
end_watch
check "bare launcher: no window" none "$watched"
check "bare launcher: nothing left in TMP" "" "$(tmp_listing)"
check "bare launcher: no command ran" "" "$(records)"

# ---- Commands only: no progress window; the command nearest the end of the file runs first

new_case commands
pack --command "$recorder_win" --params "first" \
    --command "$recorder_win" --params "second" --in-extraction-dir \
    --command "$recorder_win" --params "third"
offsets=$(for text in first second third; do utf16_offsets "$setup" "$text"; done | tr '\n' ' ')
read -r first_at second_at third_at <<<"$offsets"
check "commands: stored in reverse order" yes \
    "$( ((first_at > second_at && second_at > third_at)) && echo yes || echo "no ($offsets)")"
start_watch
run_launcher
check "commands: exit code" 0 "$exit_code"
end_watch
check "commands: no progress window" none "$watched"
own_directory=$(unix_to_wine_path "$case_dir")
tmp_windows=$(unix_to_wine_path "$case_tmp")
records_seen=$(records)
check "commands: run nearest-the-end first, each in its directory" \
    "first | $own_directory | missing: update.msp|second | X | missing: update.msp|third | $own_directory | missing: update.msp" \
    "$(sed -E "s/$(regex_quote "$tmp_windows")\\\\VOQSETUP[0-9]+/X/" <<<"$records_seen" | tr '\n' '|' | sed 's/|$//')"
check_match "commands: the one with the flag ran in an extraction directory under TMP" \
    "\\| $(regex_quote "$tmp_windows")\\\\VOQSETUP[0-9]+ \\|" "$(sed -n 2p <<<"$records_seen")"
check "commands: that directory is gone" "" "$(tmp_listing)"

# ---- The x86-64 launcher's commands are 64-bit programs: the shell starts them from the 64-bit
# system directory, with no file-system redirection as a 32-bit launcher would get on WOW64.

if [[ $(wine_build_arch "$build_dir") == win64 ]]; then
    new_case system_directory
    pack --command cmd.exe --params "/c echo %PROCESSOR_ARCHITECTURE%>$(unix_to_wine_path "$case_dir/arch.txt")"
    run_launcher
    check "x86-64 launcher: exit code" 0 "$exit_code"
    check "x86-64 launcher: cmd.exe from the 64-bit system directory" AMD64 \
        "$(tr -d '\r\n ' <"$case_dir/arch.txt" 2>/dev/null)"
fi

e2e_finish
