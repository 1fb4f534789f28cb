#!/usr/bin/env bash
# End to end, the languages: a payload with commands for one language runs them without asking,
# after the commands for every language; with two languages the user is asked in the language
# dialog, and OK, Cancel, the close box and a change of the selection each do what they say.
#
#   e2e_languages.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER
set -uo pipefail

# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_start e2e_languages

# The parameters of every record, joined by "|": which commands ran, in their order.
ran() { records | sed 's/ | .*//' | tr '\n' '|' | sed 's/|$//'; }

# ---- One language: no dialog, its commands after those for every language

new_case one_language
pack --command "$recorder_win" --params "de 1" --lcid 0x0407 \
    --command "$recorder_win" --params "common" \
    --command "$recorder_win" --params "de 2" --lcid 0x0407
start_watch
run_launcher
check "one language: exit code" 0 "$exit_code"
end_watch
check "one language: no window at all, under an English interface" none "$watched"
check "one language: the common command first, then the German ones" "common|de 1|de 2" "$(ran)"
check "one language: nothing left in TMP" "" "$(tmp_listing)"

# ---- Two languages. The payload: the patch file, a command for every language that finds it,
# and two commands each for English and German, interleaved.

two_languages() {
    new_case "$1"
    head -c 100000 /dev/urandom >"$case_dir/update.msp"
    pack --file "$case_dir/update.msp" \
        --command "$recorder_win" --params "common" --in-extraction-dir \
        --command "$recorder_win" --params "en 1" --lcid 0x0409 \
        --command "$recorder_win" --params "de 1" --lcid 0x0407 --in-extraction-dir \
        --command "$recorder_win" --params "en 2" --lcid 0x0409 --in-extraction-dir \
        --command "$recorder_win" --params "de 2" --lcid 0x0407
    start_launcher
}

# Waits for the language dialog (the progress window before it has the same class and title; only
# the dialog has the combo box) and leaves its dump in $out.
await_dialog() {
    local attempt
    for ((attempt = 0; attempt < 50; attempt++)); do
        drive --class '#32770' --title setup.exe --timeout 10000 --dump
        [[ $out == *"id=1000 "* ]] && return 0
        sleep 0.2
    done
    echo "FAIL: no language dialog appeared ($driven)"
    failures=$((failures + 1))
    return 1
}

# The lines of the last dump that show the buttons and the list, joined by "|".
dialog_state() {
    grep -E '^(title|control: class=Button|item|selected)' <<<"$out" | tr '\n' '|' | sed 's/|$//'
}

# What every two-language run ends with: the exit code, the commands run and a clean TMP.
after_dialog() {
    local what=$1 expected_runs=$2
    finish_launcher
    check "$what: exit code" 0 "$exit_code"
    check "$what: commands run" "$expected_runs" "$(ran)"
    check "$what: the common command found the file" "exists: update.msp" \
        "$(records | sed -n '1s/.* | //p')"
    check "$what: the extraction directory is gone" "" "$(tmp_listing)"
}

export LANG=de_DE.UTF-8
two_languages german_ok
if await_dialog; then
    check "German interface: title, German buttons, native names, German preselected" \
        "title: setup.exe|control: class=Button id=1 text=OK|control: class=Button id=2 text=Abbrechen|item: index=0 text=Deutsch|item: index=1 text=English|selected: 0" \
        "$(dialog_state)"
    check "German interface: the common command ran before the dialog" common "$(ran)"
    drive --class '#32770' --title setup.exe --press 1 --wait-gone
    check "German interface: OK pressed" "0 " "$driven"
fi
after_dialog "German interface, OK" "common|de 1|de 2"

export LANG=en_US.UTF-8
two_languages english_cancel
if await_dialog; then
    check "English interface: English buttons, English preselected" \
        "title: setup.exe|control: class=Button id=1 text=OK|control: class=Button id=2 text=Cancel|item: index=0 text=Deutsch|item: index=1 text=English|selected: 1" \
        "$(dialog_state)"
    drive --class '#32770' --title setup.exe --press 2 --wait-gone
    check "English interface: Cancel pressed" "0 " "$driven"
fi
after_dialog "English interface, Cancel" common

two_languages english_close
if await_dialog; then
    drive --class '#32770' --title setup.exe --close --wait-gone
    check "English interface: dialog closed" "0 " "$driven"
fi
after_dialog "English interface, close box" common

two_languages english_switch
if await_dialog; then
    drive --class '#32770' --title setup.exe --select Deutsch --dump
    check "English interface: selecting Deutsch re-captions Cancel at once" \
        "title: setup.exe|control: class=Button id=1 text=OK|control: class=Button id=2 text=Abbrechen|item: index=0 text=Deutsch|item: index=1 text=English|selected: 0" \
        "$(dialog_state)"
    drive --class '#32770' --title setup.exe --press 1 --wait-gone
    check "English interface: OK pressed on Deutsch" "0 " "$driven"
fi
after_dialog "English interface, Deutsch chosen" "common|de 1|de 2"

e2e_finish
