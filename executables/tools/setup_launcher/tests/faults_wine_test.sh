#!/usr/bin/env bash
# Conditions in single quotes are meant: check_true evaluates them when it checks.
# shellcheck disable=SC2016,SC2034
# Faults from outside, with the Windows launcher under Wine, where the fault belongs to Windows: a
# disk that fills during extraction (the error box), a file held open at cleanup (sharing modes),
# a TMP that names a missing directory. faults_native_test.sh has the others.
#
# Usage: faults_wine_test.sh BUILD_DIR LAUNCHER_EXE PACKER_EXE FAULTS_TEST_EXE UI_DRIVER_EXE
#
# A disk that fills is a small tmpfs, mounted in a private mount namespace where one can be had
# (root), or else a file size limit. FAULTS_TEST_EXE holds files open and reports the system's
# temporary path. Parts whose means are missing are reported as skipped.
set -uo pipefail

mode=wine
# shellcheck source=faults_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/faults_common.sh" "$@"

: "${helper:?faults_test.exe}" "${ui_driver:?ui_driver.exe}"
# shellcheck source=../../../../testing/wine/harness.sh
source "$here/../../../../testing/wine/harness.sh"
wine_test_start "$build_dir" en_US.UTF-8 || exit 1
helper_win=$(unix_to_wine_path "$helper")

# Runs a launcher file in the background from DIR/cwd, answers its error boxes and waits for
# it. Sets rc, boxes (how many), report (the first box's first line), ran (the log),
# elapsed_ms.
run() {
    local dir=$1 file=$2 pid started
    mkdir -p "$dir/cwd"
    started=$(date +%s%N)
    (
        cd "$dir/cwd" &&
            FAULTS_LOG=$(unix_to_wine_path "$dir/log") exec timeout -k 5 120 wine "$file" \
                </dev/null >/dev/null 2>>"$work/wine.log"
    ) &
    pid=$!
    answer_error_boxes_while "$pid"
    boxes=${#boxes_seen[@]}
    report=$(head -n 1 <<<"${boxes_seen[0]:-}")
    wait "$pid"
    rc=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    ran=
    [[ -f $dir/log ]] && ran=$(tr -d '\r' <"$dir/log" | paste -sd ' ')
}
log_command='{"command": "cmd.exe", "params": "/c echo ran>>\"%FAULTS_LOG%\"",
              "in_extraction_dir": true}'
cd_command='{"command": "cmd.exe", "params": "/c cd>>\"%FAULTS_LOG%\"",
             "in_extraction_dir": true}'
hold_command() {
    printf '{"command": "%s", "params": "hold sub\\\\held.txt %s", "in_extraction_dir": true}' \
        "${helper_win//\\/\\\\}" "$1"
}

# ---- The disk fills ----
pack_entries "$work/big.exe" '{"file": "big.bin"}' "$log_command" || exit 1
dir=$work/disk_full
mkdir -p "$dir/tmp"
wine_tmp_dir "$dir/tmp"
tmp_win=$(unix_to_wine_path "$dir/tmp")
if ((can_mount)); then
    mount -t tmpfs -o size=1m tmpfs "$dir/tmp" || exit 1
    run "$dir" "$work/big.exe"
    kind="tmpfs of 1 MiB"
else
    # The launcher's own process writes the files: the limit binds it alone.
    (
        ulimit -f 1024
        trap '' XFSZ
        run "$dir" "$work/big.exe"
        printf '%s\n' "$rc" "$boxes" "$ran" "$report" >"$dir/result"
    )
    { read -r rc && read -r boxes && read -r ran && read -r report; } <"$dir/result"
    kind="file size limit"
fi
echo "disk full: $kind; the disk afterwards: $(cd "$dir/tmp" && find . -type f -printf '%P %s ')"
check "disk full: exit code" 1 "$rc"
check "disk full: one box" 1 "$boxes"
check "disk full: the report" "Error writing file '$tmp_win\\VOQSETUP2\\big.bin'" "$report"
check "disk full: no command ran" "" "$ran"
((can_mount)) && umount "$dir/tmp"

# ---- A file held open without delete sharing at cleanup ----
# Held for 0.5 s from the last command on: the deletion's retries (1 s) outlast it, the tree goes.
pack_entries "$work/held_short.exe" '{"file": "a.txt"}' '{"file": "held.txt", "name": "sub/held.txt"}' \
    '{"file": "c.txt"}' "$log_command" "$(hold_command 500)" || exit 1
dir=$work/held_short
mkdir -p "$dir/tmp"
wine_tmp_dir "$dir/tmp"
run "$dir" "$work/held_short.exe"
check "held briefly: exit code" 0 "$rc"
check "held briefly: no box" 0 "$boxes"
check "held briefly: the commands ran, the file was held" "ran held" "$ran"
check "held briefly: the whole tree is removed" "" "$(entries "$dir/tmp")"

# Held for 6 s: ten attempts on the file, then on its directory and on the extraction
# directory, 1 s each, and the run ends with 0 all the same; the rest is removed.
pack_entries "$work/held_long.exe" '{"file": "a.txt"}' '{"file": "held.txt", "name": "sub/held.txt"}' \
    '{"file": "c.txt"}' "$log_command" "$(hold_command 6000)" || exit 1
dir=$work/held_long
mkdir -p "$dir/tmp"
wine_tmp_dir "$dir/tmp"
run "$dir" "$work/held_long.exe"
check "held throughout: exit code" 0 "$rc"
check "held throughout: no box" 0 "$boxes"
check "held throughout: the commands ran, the file was held" "ran held" "$ran"
check "held throughout: only the held file and its directories stay" \
    "VOQSETUP2 VOQSETUP2/sub VOQSETUP2/sub/held.txt" "$(entries "$dir/tmp")"
check_true "held throughout: about 3 s of retries ($elapsed_ms ms in all)" \
    '((elapsed_ms >= 3000))'
timeout 30 wineserver -w  # the holder ends

# ---- TMP names a missing directory ----
# The system's temporary path is TMP itself then, missing too: the root of the current
# drive is next. The current drive is one of the test's own (T:), so that root is private.
pack_entries "$work/fallback.exe" '{"file": "a.txt"}' "$cd_command" || exit 1
dir=$work/tmp_missing
mkdir -p "$dir/drive/cwd"
ln -s "$dir/drive" "$WINEPREFIX/dosdevices/t:"
export WINETMP='T:\missing' WINETEMP='T:\missing'
(cd "$dir/drive/cwd" && wine "$helper" temp-path 'T:\temp_path.txt')
check "TMP missing: the system's temporary path is TMP" 'T:\missing\' \
    "$(cat "$dir/drive/temp_path.txt")"
rm -f "$dir/drive/temp_path.txt"
ln -s "$work/fallback.exe" "$dir/drive/fallback.exe"
run "$dir/drive" 'T:\fallback.exe'
check "TMP missing: exit code" 0 "$rc"
check "TMP missing: no box" 0 "$boxes"
check "TMP missing: extracted below the current drive's root" 'T:\VOQSETUP2' "$ran"
check "TMP missing: removed afterwards, nothing else made" "cwd fallback.exe log" \
    "$(entries "$dir/drive")"

faults_finish
