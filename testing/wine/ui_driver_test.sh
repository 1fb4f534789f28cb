#!/usr/bin/env bash
# Checks the UI driver against a message box whose contents we choose: it has to read the title
# and a multi-line, non-ASCII text exactly, report what is not there, and press OK so that the
# box's program ends normally.
#
#   ui_driver_test.sh UI_DRIVER_EXE MESSAGE_BOX_PROBE_EXE BUILD_DIR
set -uo pipefail

ui_driver=${1:?ui_driver.exe}
probe=${2:?message_box_probe.exe}
build_dir=${3:?build directory}

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

# A probe whose box was never answered must fail the test, not hang it.
wait_exit() {
    local pid=$1 deadline=$((SECONDS + 30))
    while kill -0 "$pid" 2>/dev/null; do
        ((SECONDS < deadline)) || return 124
        sleep 0.1
    done
    wait "$pid"
}

wine_script_start ui_driver_test de_DE.UTF-8 en_US.UTF-8

title="Probe $$"
text=$'Zeile eins\nÄrger ü'
wine "$probe" "$text" "$title" &
probe_pid=$!

drive --class '#32770' --title "$title" --dump
check "dump succeeds" "0 " "$driven"
check "title line" "title: $title" "$(grep '^title: ' <<<"$out")"
check "message text, escaped to one line" \
    'control: class=Static id=65535 text=Zeile eins\nÄrger ü' \
    "$(grep -F 'id=65535' <<<"$out")"
check "OK button" "control: class=Button id=1 text=OK" "$(grep -F 'id=1 ' <<<"$out")"

drive --class '#32770' --title "$title" --press 4242
check "pressing a missing control fails" "2 ui_driver: no control with id 4242" "$driven"

drive --class '#32770' --title "$title" --press 1 --wait-gone
check "OK pressed, box gone" "0 " "$driven"

status=0
wait_exit "$probe_pid" || status=$?
check "probe exit code after OK" 7 "$status"

drive --class '#32770' --title "$title" --timeout 300 --dump
check "absent window reported" "2 ui_driver: no window class=#32770 title=$title" "$driven"

wine_script_finish
