#!/usr/bin/env bash
# The launcher's windows under Wine, read and answered through the UI driver as a user would:
# the progress window until it is closed, the common controls behind it, and the language dialog
# in German and English.
#
#   setup_launcher_test.sh BUILD_DIR TEST_EXE NO_TEMPLATES_TEST_EXE UI_DRIVER_EXE
set -uo pipefail

build_dir=${1:?build directory}
program=${2:?setup_launcher_test.exe}
no_templates=${3:?setup_launcher_test_no_templates.exe}
ui_driver=${4:?ui_driver.exe (the UI driver is not built)}
title=$(basename "$program")

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/wine/harness.sh"

# Starts a test program in the background; `finish` waits for it and leaves its exit code and
# its output lines, joined by "|", in $result.
start() {
    wine "$@" >"$work/program.out" 2>/dev/null &
    program_pid=$!
}
finish() {
    local status=0
    wait "$program_pid" || status=$?
    result="$status $(tr '\n' '|' <"$work/program.out")"
}

# The lines of the driver's output that mention a control or show a combo box's state.
lines() { grep -E "$1" <<<"$out" | tr '\n' '|'; }

wine_script_start setup_launcher_test en_US.UTF-8 de_DE.UTF-8

# ---- Progress window: drawn with the file name, closed by the user

export LANG=en_US.UTF-8
start "$program" progress
drive --class '#32770' --title "$title" --dump --close --wait-gone
check "progress: driven" "0 " "$driven"
check "progress: window text is the file name" "title: $title" "$(grep "^title" <<<"$out")"
check "progress: one bar, full range, half way after 10 of 20 MiB" \
    "control: class=msctls_progress32 id=1001 text=|range: 0 65535|pos: 32768|" \
    "$(lines '^(control|range|pos)')"
finish
check "progress: a second creation keeps the one window; closing ends the reports" \
    "0 windows: 1|report: closed, windows: 0|" "$result"

start "$no_templates" progress
finish
check "progress: a window that cannot be created counts as closed" \
    "0 windows: 0|report: closed, windows: 0|" "$result"

# ---- Common controls: with the launcher's manifest, the progress bar and the language dialog's
# controls come from the version 6 assembly of this processor, and no other comctl32 is loaded.
# The program without the templates has no manifest either: the system directory's comctl32.

# DllGetVersion says 6.x on Windows; Wine's comctl32 says 5.81 for its copy in the assembly too,
# so it is shown, not checked.
without_dll_version() { sed 's/DllGetVersion: [^|]*|//'; }

start "$program" common_controls
finish
echo "note: $(grep -oE 'DllGetVersion: [^|]*' <<<"$result")"
architecture=x86
[[ $(wine_build_arch "$build_dir") == win64 ]] && architecture=amd64
expected="0 assembly: Microsoft.Windows.Common-Controls 6.0 $architecture|"
expected+="loaded: 1 comctl32.dll, 1 from that assembly|"
expected+="redirected classes: msctls_progress32 Button ComboBox|"
check "common controls: version 6 from the side-by-side assembly, classes redirected" \
    "$expected" "$(without_dll_version <<<"$result")"

start "$no_templates" common_controls
finish
check "common controls without the manifest: none redirected" \
    "0 assembly: none|loaded: 1 comctl32.dll, 0 from that assembly|redirected classes:|" \
    "$(without_dll_version <<<"$result")"

# ---- Language dialog in German: native names, German preselected, OK takes it

export LANG=de_DE.UTF-8
start "$program" language 409 407
drive --class '#32770' --title "$title" --dump --press 1
check "German: driven" "0 " "$driven"
check "German: window text is the file name" "title: $title" "$(grep "^title" <<<"$out")"
check "German: buttons from the German table" \
    "control: class=Button id=1 text=OK|control: class=Button id=2 text=Abbrechen|" \
    "$(lines 'class=Button')"
check "German: native names, German preselected" \
    "item: index=0 text=Deutsch|item: index=1 text=English|selected: 0|" \
    "$(lines '^(item|selected)')"
finish
check "German: OK returns the preselected language" \
    "0 chosen: 0x0407|cancel: Abbrechen|" "$result"

# ---- Language dialog in English: selecting German switches the buttons at once

export LANG=en_US.UTF-8
start "$program" language 407 409
drive --class '#32770' --title "$title" --dump --select Deutsch --dump --press 2
check "English: driven" "0 " "$driven"
check "English: Cancel re-captioned on selecting German, English preselected before" \
    "id=2 text=Cancel|selected: 1|id=2 text=Abbrechen|selected: 0|" \
    "$(grep -oE '(id=2 text=.*|selected: .*)' <<<"$out" | tr '\n' '|')"
finish
check "English: Cancel returns 0 and leaves German current" \
    "0 chosen: 0x0000|cancel: Abbrechen|" "$result"

start "$program" language 407 409
drive --class '#32770' --title "$title" --close --wait-gone
check "close box: driven" "0 " "$driven"
finish
check "close box: returns 0" "0 chosen: 0x0000|cancel: Cancel|" "$result"

# A language without a system name keeps resolving after the table switched.
start "$program" language 409 407 1234
drive --class '#32770' --title "$title" --select Deutsch --select "locale not found: 0x1234" --dump --press 1
check "unknown language: driven" "0 " "$driven"
expected="item: index=0 text=Deutsch|item: index=1 text=English|"
expected+="item: index=2 text=locale not found: 0x1234|selected: 2|"
check "unknown language: listed by its number, item texts kept" "$expected" \
    "$(lines '^(item|selected)')"
finish
check "unknown language: OK after switching tables returns it" \
    "0 chosen: 0x1234|cancel: Abbrechen|" "$result"

# A dialog that cannot be shown is reported, never taken for a choice.
start "$no_templates" language 409 407
drive --class '#32770' --title Error --dump --press 1
check "no dialog: driven" "0 " "$driven"
expected='control: class=Static id=65535 text=Internal error\n\n'
expected+='executables/tools/setup_launcher/src/setup_launcher_win32.cpp (line'
check "no dialog: reported as internal error" "$expected" \
    "$(grep -oE '^control: class=Static id=65535 text=.*\(line' <<<"$out")"
finish
check "no dialog: exit code 1, no language run" "1 " "$result"

wine_script_finish
