#!/usr/bin/env bash
# End to end, the progress window: during the extraction of a file of many chunks it shows the
# launcher file's name and a bar over 0..65535; closing it stops the run with exit code 0, removes
# the extraction directory and runs no command.
#
#   e2e_progress.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER
set -uo pipefail

# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_start e2e_progress

new_case close_progress
# 512 MiB of zeros, 52 chunks: reading the window's state takes the launcher a chunk per message,
# as it hears messages only between chunks, so the bar is still well short of its end.
truncate -s 512M "$case_dir/big.bin"
pack --file "$case_dir/big.bin" \
    --command "$recorder_win" --params "never runs" --in-extraction-dir
rm -f "$case_dir/big.bin"

# The driver is looking before the window exists: the whole extraction takes a second or two.
drive_started=$(date +%s%N)
wine "$ui_driver" --class '#32770' --title setup.exe --timeout 20000 --dump --close --wait-gone \
    >"$case_dir/driver.out" 2>"$case_dir/driver.err" &
driver_pid=$!
sleep 1
start_launcher
status=0
wait "$driver_pid" || status=$?
finish_launcher
out=$(<"$case_dir/driver.out")
echo "driver and launcher done after $((($(date +%s%N) - drive_started) / 1000000)) ms"

check "progress: the window was read and closed" "0 " "$status $(<"$case_dir/driver.err")"
check "progress: window text is the launcher file's name" "title: setup.exe" \
    "$(grep '^title: ' <<<"$out")"
check "progress: one bar, over 0..65535" \
    "control: class=msctls_progress32 id=1001 text=|range: 0 65535" \
    "$(grep -E '^(control|range):' <<<"$out" | tr '\n' '|' | sed 's/|$//')"
position=$(sed -n 's/^pos: //p' <<<"$out")
check "progress: the bar stood between its ends ($position)" yes \
    "$([[ $position =~ ^[0-9]+$ ]] && ((position > 0 && position < 65535)) && echo yes || echo no)"
check "progress: exit code" 0 "$exit_code"
check "progress: no command ran" "" "$(records)"
check "progress: the extraction directory is gone, the partial file with it" "" "$(tmp_listing)"
rm -f "$setup"

e2e_finish
