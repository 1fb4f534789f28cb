#!/usr/bin/env bash
# Conditions in single quotes are meant: check_true evaluates them when it checks.
# shellcheck disable=SC2016
# The cleanup against whoever may rename entries of TMP, with the real launcher. At the moment
# the cleanup opens the extraction directory, swap_on_open holds that open and, meanwhile, has
# the extraction directory swapped for a link to a directory of the same layout (or the link in
# the path to TMP pointed elsewhere); then it lets the launcher go on. So the race is won every
# time, not by luck, and the output shows that the swap was made. Nothing outside TMP may be
# deleted, nor anything of the other user's.
#
# Natively, as root with a second user (nobody): a TMP that user owns, a TMP reached through a
# link that user owns, and a sticky TMP where the swap is refused and the directory goes whole;
# and a TMP the launcher can't search, reported at once. Under Wine (one user only): the swap
# made from the Unix side, and a Windows program's try to rename the directory while the
# launcher holds it.
#
# Usage:
#   cleanup_race_test.sh native BUILD_DIR LAUNCHER PACKER SWAP_ON_OPEN
#   cleanup_race_test.sh wine BUILD_DIR LAUNCHER_EXE PACKER SWAP_ON_OPEN RECORDER_EXE UI_DRIVER_EXE
set -uo pipefail

mode=${1:?mode: native or wine}
build_dir=$(realpath "${2:?build directory}")
launcher=$(realpath "${3:?launcher}")
packer=$(realpath "${4:?packer}")
swap=$(realpath "${5:?swap_on_open}")
here=$(cd "$(dirname "$0")" && pwd)

# The victim, outside TMP: a directory of the extraction directory's layout, which deleting by
# path through the swapped name would empty.
make_victim() {
    mkdir -p "$1/sub"
    echo victim >"$1/sub/inner.txt"
    echo victim >"$1/top.txt"
}
victim_state() { (cd "$1" && cat sub/inner.txt top.txt | xargs) 2>/dev/null; }

# Starts swap_on_open on DIRECTORY for its entry VOQSETUP2 behind the gate $gate, with the swap
# command given, and waits until it watches.
start_swap() {
    local directory=$1
    shift
    "$swap" "$directory" VOQSETUP2 "$gate" 60 "$@" >"$case_dir/swap.out" 2>&1 &
    swap_pid=$!
    for _ in $(seq 100); do
        grep -q '^watching' "$case_dir/swap.out" && return 0
        kill -0 "$swap_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "swap_on_open did not start: $(cat "$case_dir/swap.out")"
    return 1
}
# Waits for swap_on_open; shows what it did; sets $swap_exit (the swap command's exit status,
# "none" when no open was held).
finish_swap() {
    wait "$swap_pid"
    sed 's/^/    swap_on_open: /' "$case_dir/swap.out"
    swap_exit=$(sed -n 's/^swap command exited with //p' "$case_dir/swap.out")
    swap_exit=${swap_exit:-none}
}

# ============================================================================ native

if [[ $mode == native ]]; then
    # shellcheck source=../../../../testing/checks.sh
    source "$here/../../../../testing/checks.sh"
    # shellcheck source=../../../../testing/pe_stub.sh
    source "$here/../../../../testing/pe_stub.sh"
    # The second user must be able to reach the test's directories and run the launcher.
    work=$(mktemp -d /tmp/cleanup_race_test.XXXXXX) || exit 1
    chmod 755 "$work"
    mkdir -p "$work/payload/sub"
    (cd "$work/payload" && echo inner >sub/inner.txt && echo top >top.txt)
    cd "$work/payload" || exit 1
    pack_entries "$work/setup" '{"file": "sub/inner.txt"}' '{"file": "top.txt"}' \
        '{"command": "/bin/sh", "params": "-c \"touch \\\"$GATE\\\"\"", "in_extraction_dir": true}' ||
        exit 1
    chmod 755 "$work/setup"

    # run_launcher TMP [PREFIX...]: runs the launcher file with that TMP and TMPDIR; sets rc,
    # report (the first line of its message) and milliseconds.
    run_launcher() {
        local tmp=$1 start
        shift
        start=$(date +%s%N)
        (cd "$case_dir" && timeout -k 5 60 "$@" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
            TMP="$tmp" TMPDIR="$tmp" GATE="$gate" ASAN_OPTIONS=exitcode=86 "$work/setup" \
            </dev/null >/dev/null 2>"$case_dir/stderr")
        rc=$?
        milliseconds=$((($(date +%s%N) - start) / 1000000))
        report=$(sed -n '/^Error$/{n;p;q}' "$case_dir/stderr")
    }
    new_native_case() {
        case_dir=$work/$1
        gate=$case_dir/gate
        mkdir -p "$case_dir"
        chmod 755 "$case_dir"
        echo "---- $1"
    }

    if [[ $(id -u) != 0 ]] || ! command -v setpriv >/dev/null || ! id nobody >/dev/null 2>&1; then
        skip "the swaps: they need root (fanotify, and a second user, nobody, through setpriv)"
    else
        as_nobody=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
        # What the second user does while the cleanup's open is held: moves the extraction
        # directory away and puts a link to the victim in its place.
        move_and_link=("${as_nobody[@]}" sh -c 'mv "$1/VOQSETUP2" "$1/moved" && ln -s "$2" "$1/VOQSETUP2"' _)

        # ---- A TMP the other user owns, without the sticky bit ----
        new_native_case owned_tmp
        tmp=$case_dir/tmp
        make_victim "$case_dir/victim"
        mkdir "$tmp" && chown nobody "$tmp" && chmod 755 "$tmp"
        "${as_nobody[@]}" sh -c 'echo mine >"$1/attacker.txt"' _ "$tmp"
        start_swap "$tmp" "${move_and_link[@]}" "$tmp" "$case_dir/victim" || exit 1
        run_launcher "$tmp"
        finish_swap
        check "owned TMP: exit code ($report)" 0 "$rc"
        check "owned TMP: the swap was made during the cleanup" 0 "$swap_exit"
        check "owned TMP: nothing outside TMP deleted" "victim victim" \
            "$(victim_state "$case_dir/victim")"
        check "owned TMP: the other user's file and link stay" "mine $case_dir/victim" \
            "$(cat "$tmp/attacker.txt") $(readlink "$tmp/VOQSETUP2")"
        check "owned TMP: all the launcher made is gone from where it was moved" "" \
            "$(entries "$tmp/moved")"

        # ---- A TMP reached through a link the other user owns ----
        new_native_case linked_tmp
        make_victim "$case_dir/victim"
        mkdir -p "$case_dir/real_tmp" "$case_dir/theirs"
        chown nobody "$case_dir/theirs"
        "${as_nobody[@]}" sh -c 'ln -s ../real_tmp "$1/tmp" && mkdir "$1/elsewhere" &&
            ln -s "$2" "$1/elsewhere/VOQSETUP2"' _ "$case_dir/theirs" "$case_dir/victim"
        start_swap "$case_dir/real_tmp" "${as_nobody[@]}" ln -sfn elsewhere \
            "$case_dir/theirs/tmp" || exit 1
        run_launcher "$case_dir/theirs/tmp"
        finish_swap
        check "linked TMP: exit code ($report)" 0 "$rc"
        check "linked TMP: the link was pointed elsewhere during the cleanup" \
            "0 elsewhere" "$swap_exit $(readlink "$case_dir/theirs/tmp")"
        check "linked TMP: nothing outside TMP deleted" "victim victim" \
            "$(victim_state "$case_dir/victim")"
        check "linked TMP: the other user's link stays" "$case_dir/victim" \
            "$(readlink "$case_dir/theirs/elsewhere/VOQSETUP2")"
        check "linked TMP: the launcher's own directory is gone" "" "$(entries "$case_dir/real_tmp")"

        # ---- A sticky TMP, as /tmp is: the swap is refused ----
        new_native_case sticky_tmp
        tmp=$case_dir/tmp
        make_victim "$case_dir/victim"
        mkdir "$tmp" && chmod 1777 "$tmp"
        "${as_nobody[@]}" sh -c 'echo mine >"$1/attacker.txt"' _ "$tmp"
        start_swap "$tmp" "${move_and_link[@]}" "$tmp" "$case_dir/victim" || exit 1
        run_launcher "$tmp"
        finish_swap
        check "sticky TMP: exit code ($report)" 0 "$rc"
        check_true "sticky TMP: the swap was tried during the cleanup, and refused" \
            '[[ $swap_exit != 0 && $swap_exit != none ]]'
        check "sticky TMP: nothing outside TMP deleted" "victim victim" \
            "$(victim_state "$case_dir/victim")"
        check "sticky TMP: the launcher's directory is gone, the other user's file stays" \
            "attacker.txt" "$(entries "$tmp")"
    fi

    # ---- A TMP the launcher can't search: one report, at once ----
    # As root the launcher could search anything, so there it runs as nobody.
    new_native_case unsearchable_tmp
    tmp=$case_dir/tmp
    mkdir "$tmp" && chmod 600 "$tmp"
    prefix=()
    [[ $(id -u) == 0 ]] && prefix=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
    run_launcher "$tmp" "${prefix[@]}"
    echo "    unsearchable TMP: ended after $milliseconds ms"
    check "unsearchable TMP: exit code" 1 "$rc"
    check "unsearchable TMP: the report names the first candidate" \
        "Couldn't create temp directory '$tmp/VOQSETUP2'" "$report"
    check "unsearchable TMP: one report" 1 "$(grep -c '^Error$' "$case_dir/stderr")"
    chmod 755 "$tmp"
    check "unsearchable TMP: nothing made" "" "$(entries "$tmp")"

    echo "$failures failures"
    cd / || exit 1
    ((failures == 0)) && rm -rf "$work"
    ((failures == 0))
    exit
fi

# ============================================================================ wine

recorder=$(realpath "${6:?record_command_test.exe}")
ui_driver=$(realpath "${7:?ui_driver.exe}")
# shellcheck source=../../../../testing/wine/harness.sh
source "$here/../../../../testing/wine/harness.sh"
wine_script_start cleanup_race_test en_US.UTF-8
if [[ $(id -u) != 0 ]]; then
    skip "the swap: swap_on_open needs root (fanotify)"
    wine_script_finish
fi

new_case swap
gate=$case_log
make_victim "$case_dir/victim"
mkdir -p "$case_dir/payload/sub"
(cd "$case_dir/payload" && echo inner >sub/inner.txt && echo top >top.txt)
# The recorder, a program of the same user, tries to rename the extraction directory while the
# launcher holds it, then writes its log: the gate behind which the cleanup's open is held.
export RECORD_COMMAND_RENAME_FROM="$case_tmp_win\\VOQSETUP2" RECORD_COMMAND_RENAME_TO="$case_tmp_win\\renamed"
cd "$case_dir/payload" || exit 1
pack --file sub/inner.txt=sub/inner.txt --file top.txt --command "$recorder_win" || wine_script_finish
cd "$build_dir" || exit 1
start_swap "$case_tmp" sh -c 'mv "$1/VOQSETUP2" "$1/moved" && ln -s "$2" "$1/VOQSETUP2"' _ \
    "$case_tmp" "$case_dir/victim" || exit 1
run_launcher
finish_swap
unset RECORD_COMMAND_RENAME_FROM RECORD_COMMAND_RENAME_TO
check "exit code" 0 "$exit_code"
check_match "a program of the same user could not rename the directory while it was held" \
    '^rename: refused' "$(grep '^rename:' "$case_log" | tr -d '\r')"
check "the swap was made from the Unix side during the cleanup" 0 "$swap_exit"
check "nothing outside TMP deleted" "victim victim" "$(victim_state "$case_dir/victim")"
check "the link put in its place stays" "$case_dir/victim" "$(readlink "$case_tmp/VOQSETUP2")"
echo "    what is left of the launcher's own, moved away: $(entries "$case_tmp/moved")"

wine_script_finish
