#!/usr/bin/env bash
# Conditions in single quotes are meant: check_true evaluates them when it checks.
# shellcheck disable=SC2016,SC2034
# Faults from outside, with the native launcher, where Wine can't make the fault: a disk that
# fills during extraction, a launcher file that shrinks while it is read (under a paused launch
# sequence), TMP naming a missing directory with TMPDIR and the root directory as fallbacks.
# faults_wine_test.sh has the faults that belong to Windows.
#
# Usage: faults_native_test.sh BUILD_DIR LAUNCHER PACKER FAULTS_TEST_LAUNCH
#
# A disk that fills is a file size limit (ulimit -f, with SIGXFSZ ignored) and a small tmpfs,
# mounted in a private mount namespace where one can be had (root). No process may write to a
# running executable, so the file that shrinks is read by FAULTS_TEST_LAUNCH, which runs the
# launch sequence on a file it is given. That part needs gdb: the sequence stops at a breakpoint,
# another process truncates the file, the sequence goes on. Parts whose means are missing are
# reported as skipped.
set -uo pipefail

mode=native
# shellcheck source=faults_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/faults_common.sh" "$@"

# Runs a launcher file with a fresh TMP; sets rc, report (the message's first line), reports
# (how many) and ran (what the commands logged).
# Usage: run DIR LAUNCHER_FILE [VAR=VALUE...]; DIR gets tmp/, stderr and log.
run() {
    local dir=$1 file=$2
    shift 2
    mkdir -p "$dir/tmp"
    (cd "$dir" && timeout -k 5 60 env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
        TMP="$dir/tmp" TMPDIR="$dir/tmp" FAULTS_LOG="$dir/log" ASAN_OPTIONS=exitcode=86 \
        "$@" "$file" </dev/null >/dev/null 2>"$dir/stderr")
    rc=$?
    reports=$(grep -cx 'Error' "$dir/stderr")
    report=$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")
    ran=$(cat "$dir/log" 2>/dev/null)
}
log_command='{"command": "/bin/sh", "params": "-c \"echo ran >> \\\"$FAULTS_LOG\\\"\"",
              "in_extraction_dir": true}'
pwd_command='{"command": "/bin/sh", "params": "-c \"pwd >> \\\"$FAULTS_LOG\\\"\"",
              "in_extraction_dir": true}'
pack_entries "$work/big" '{"file": "big.bin"}' "$log_command" || exit 1
pack_entries "$work/small" '{"file": "small.txt"}' "$log_command" || exit 1
pack_entries "$work/huge" '{"file": "huge.bin"}' "$log_command" || exit 1
pack_entries "$work/fallback" '{"file": "a.txt"}' "$pwd_command" || exit 1

# ---- The disk fills: a file size limit ----
dir=$work/fsize
(
    ulimit -f 1024 # KiB: half of big.bin
    trap '' XFSZ
    run "$dir" "$work/big"
    echo "$rc" >"$dir/rc"
)
run_rc=$(<"$dir/rc")
report=$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")
check "file size limit: exit code" 1 "$run_rc"
check "file size limit: the report" "Error writing file '$dir/tmp/VOQSETUP2/big.bin'" "$report"
check "file size limit: one report" 1 "$(grep -cx 'Error' "$dir/stderr")"
check "file size limit: no command ran" "" "$(cat "$dir/log" 2>/dev/null)"
check "file size limit: what was written stays, up to the limit" 1048576 \
    "$(stat -c %s "$dir/tmp/VOQSETUP2/big.bin")"
check_true "file size limit: and it is the data's start" \
    'cmp -s -n 1048576 "$dir/tmp/VOQSETUP2/big.bin" big.bin'

# ---- The disk fills: a small tmpfs, too small for the file, and one already full ----
if ((can_mount)); then
    export -f run
    export launcher work
    for case in too_small full; do
        dir=$work/tmpfs_$case
        mkdir -p "$dir/tmp"
        file=$work/big size=1m
        [[ $case == full ]] && file=$work/small size=64k
        # Inside the namespace: mount, fill when asked, run, and note what the disk held.
        unshare -m --propagation private bash -c '
            mount -t tmpfs -o size=$3 tmpfs "$1/tmp" || exit 1
            [[ $4 == full ]] && head -c 1G /dev/zero >"$1/tmp/filler" 2>/dev/null
            run "$1" "$2"
            echo "$rc" >"$1/rc"
            (cd "$1/tmp" && find . -mindepth 1 -printf "%P %s\n" | sort) >"$1/disk"
        ' _ "$dir" "$file" "$size" "$case"
        report=$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")
        case=${case/_/ }
        check "tmpfs $case: exit code" 1 "$(cat "$dir/rc" 2>/dev/null)"
        check "tmpfs $case: one report" 1 "$(grep -cx 'Error' "$dir/stderr")"
        check "tmpfs $case: no command ran" "" "$(cat "$dir/log" 2>/dev/null)"
        if [[ $case == full ]]; then
            # The first write of the data fails.
            check "tmpfs full: the report" \
                "Error writing file '$dir/tmp/VOQSETUP2/small.txt'" "$report"
        else
            check "tmpfs too small: the report" \
                "Error writing file '$dir/tmp/VOQSETUP2/big.bin'" "$report"
        fi
        echo "tmpfs $case: the disk afterwards: $(xargs <"$dir/disk")"
    done
else
    skip "tmpfs: no private mount namespace here (needs root)"
fi

# ---- The launcher file shrinks while it is read ----
if command -v gdb >/dev/null; then
    huge_size=$(stat -c %s "$work/huge")
    # The data of huge.bin ends where its header (2 x 8 + 33 bytes) begins.
    data_start=$((huge_size - 49 - 25 * 1024 * 1024))
    launch_program=${helper:?faults_test_launch}
    # Stops the launch sequence at the first call of FUNCTION, truncates its file to SIZE
    # from another process, lets it go on. Sets rc and report like run.
    run_shrinking() {
        local dir=$1 function=$2 size=$3
        mkdir -p "$dir/tmp"
        cp "$work/huge" "$dir/setup"
        (cd "$dir" && timeout -k 5 120 env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
            TMP="$dir/tmp" TMPDIR="$dir/tmp" FAULTS_LOG="$dir/log" \
            ASAN_OPTIONS=exitcode=86:detect_leaks=0 \
            gdb -q -batch -nx -ex 'set confirm off' -ex 'set pagination off' \
            -ex "break $function" -ex run -ex "shell truncate -s $size '$dir/setup'" \
            -ex delete -ex continue --args "$launch_program" "$dir/setup" \
            </dev/null >"$dir/gdb.out" 2>"$dir/stderr")
        rc=$(sed -n 's/.*exited with code \([0-9]*\).*/\1/p; s/.*exited normally.*/0/p' \
            "$dir/gdb.out" | tail -n 1)
        rc=$((10#${rc:-99}))
        report=$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")
        reports=$(grep -cx 'Error' "$dir/stderr")
        truncated=$(stat -c %s "$dir/setup")
        # A breakpoint on a name that no longer exists would let the run end before the cut.
        check_true "$function: the launcher stopped there" "grep -q '^Breakpoint 1, ' '$dir/gdb.out'"
    }
    name=$(basename "$launch_program")

    # After the size pass, before the first header is read. The header may still come from
    # the reader's window, filled by the size pass; the data can't.
    dir=$work/shrink_before_reading
    run_shrinking "$dir" read_attachments $((data_start + 1024 * 1024))
    check "shrunk before reading: the file was cut" $((data_start + 1048576)) "$truncated"
    check "shrunk before reading: exit code" 1 "$rc"
    read_errors=("Error reading '$name': can't read header signature"
        "Error reading '$name': can't read file 'huge.bin'")
    check_true "shrunk before reading: a read error ($report)" \
        '[[ $report == "${read_errors[0]}" || $report == "${read_errors[1]}" ]]'
    check "shrunk before reading: one report" 1 "$reports"
    written=$(stat -c %s "$dir/tmp/VOQSETUP2/huge.bin" 2>/dev/null)
    check "shrunk before reading: nothing of the data was written (${written:-no file})" \
        0 "${written:-0}"

    # After the first chunk of 10 MiB, in the middle of the second.
    dir=$work/shrink_while_extracting
    run_shrinking "$dir" report_progress $((data_start + 15 * 1024 * 1024))
    check "shrunk while extracting: exit code" 1 "$rc"
    check "shrunk while extracting: the report" \
        "Error reading '$name': can't read file 'huge.bin'" "$report"
    check "shrunk while extracting: one report" 1 "$reports"
    check "shrunk while extracting: only the first chunk was written" 10485760 \
        "$(stat -c %s "$dir/tmp/VOQSETUP2/huge.bin" 2>/dev/null)"
    check_true "shrunk while extracting: and it is the data's first chunk" \
        'cmp -s "$dir/tmp/VOQSETUP2/huge.bin" <(head -c 10485760 huge.bin)'
    check "shrunk while extracting: no command ran" "" "$(cat "$dir/log" 2>/dev/null)"
else
    skip "shrinking file: gdb is not installed"
fi

# ---- TMP names a missing directory: TMPDIR, the system's temporary path, is next ----
dir=$work/tmp_missing
mkdir -p "$dir/system_tmp"
run "$dir" "$work/fallback" TMP="$dir/missing" TMPDIR="$dir/system_tmp"
check "TMP missing: exit code" 0 "$rc"
check "TMP missing: extracted into TMPDIR" "$dir/system_tmp/VOQSETUP2" "$ran"
check "TMP missing: removed afterwards, nothing else made" "" \
    "$(entries "$dir/system_tmp")$(entries "$dir/tmp")"
check_true "TMP missing: the missing directory stays missing" '[[ ! -e $dir/missing ]]'

# TMP names a file: it exists, so it is the base, and the directory can't be made in it.
dir=$work/tmp_file
mkdir -p "$dir/system_tmp"
printf 'not a directory\n' >"$dir/file"
run "$dir" "$work/fallback" TMP="$dir/file" TMPDIR="$dir/system_tmp"
check "TMP a file: exit code" 1 "$rc"
check "TMP a file: the report" "Couldn't create temp directory '$dir/file/VOQSETUP2'" \
    "$report"
check "TMP a file: the file is untouched" "not a directory" "$(cat "$dir/file")"

# TMP and TMPDIR both missing: the root directory. The launcher runs in a directory tree of
# its own, as its root, so that what it makes there is seen and goes with the tree.
if ((can_mount)); then
    dir=$work/root_fallback
    root=$dir/root
    mkdir -p "$root/bin" "$root/proc"
    # The command can't start there (no shell in that tree): the launcher stops after the
    # extraction and leaves its directory behind, where it can be seen.
    pack_entries "$root/bin/setup" '{"file": "a.txt"}' \
        '{"command": "/bin/missing", "in_extraction_dir": true}' || exit 1
    ldd "$launcher" | grep -oE '/[^ ]+' | while read -r library; do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
    unshare -m --propagation private bash -c '
        mount --bind /proc "$1/proc" || exit 1
        chroot "$1" /bin/setup </dev/null 2>"$2/stderr"
        echo $? >"$2/rc"
    ' _ "$root" "$dir" </dev/null
    check "TMP and TMPDIR missing: exit code" 1 "$(cat "$dir/rc")"
    check "TMP and TMPDIR missing: the report" \
        "Failed to execute '/bin/missing' with parameters ''" \
        "$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")"
    check "TMP and TMPDIR missing: extracted below the root" "VOQSETUP2 VOQSETUP2/a.txt" \
        "$(cd "$root" && find . -maxdepth 2 -path './VOQSETUP*' | sed 's|^\./||' | sort | xargs)"
else
    skip "root directory as the base: needs a private mount namespace (root)"
fi

faults_finish
