#!/usr/bin/env bash
# Conditions in single quotes are meant: check_true evaluates them when it checks.
# shellcheck disable=SC2016
# The extraction directory against everyone else, with the real launcher. The launcher runs
# elevated and runs what it extracted, so nothing between a file's checksum and the command
# that uses it may be changeable by anyone else.
#
# Natively: the directories are 0700 under any umask; as root, a second user (nobody) tries to
# swap a verified script in a world-writable TMP under umask 000, and to plant a link while a
# large file is extracted; a dangling VOQSETUP2 link is passed over; TMP, TMPDIR and the
# launcher's own path that are not UTF-8 work unchanged. Under Wine: a command reads back its
# working directory's security descriptor (Wine keeps no DACL of its own on a directory and
# makes one up from the Unix mode bits: it can show that Everyone lost access, not the exact
# entries, which the native unit tests check).
#
# Usage:
#   private_extraction_test.sh native BUILD_DIR LAUNCHER PACKER
#   private_extraction_test.sh wine BUILD_DIR LAUNCHER_EXE PACKER_EXE SECURITY_PROBE_EXE
set -uo pipefail

mode=${1:?mode: native or wine}
build_dir=$(realpath "${2:?build directory}")
launcher=$(realpath "${3:?launcher}")
packer=$(realpath "${4:?packer}")
probe=${5:+$(realpath "$5")}
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=/dev/null
source "$here/../../../../testing/checks.sh"

if [[ $mode == native ]]; then
    # The second user's tries must be able to reach the test's directories.
    work=$(mktemp -d /tmp/private_extraction_test.XXXXXX) || exit 1
    chmod 755 "$work"
else
    work=$(mktemp -d "$build_dir/private_extraction_test.XXXXXX") || exit 1
fi

# Launcher files from manifest entries (pack_entries); the native launcher is no PE image, so
# setup_packer packs behind a stand-in.
# shellcheck source=../../../../testing/pe_stub.sh
source "$here/../../../../testing/pe_stub.sh"

# A command of the payload, run by /bin/sh in the extraction directory.
shell_command() {
    printf '{"command": "/bin/sh", "params": "-c \\"%s\\"", "in_extraction_dir": true}' "$1"
}

mkdir -p "$work/payload"
cd "$work/payload" || exit 1
printf 'echo genuine >>"$LOG"\n' >run.sh
printf 'extracted\n' >x.txt

# ============================================================================ native

if [[ $mode == native ]]; then
    head -c $((60 * 1024 * 1024)) /dev/urandom >big.bin
    # Runs a launcher file with the given TMP and TMPDIR (an empty TMP counts as unset); sets
    # rc, report (the message's first line) and ran (what the commands logged).
    # Usage: run DIR LAUNCHER_FILE TMP TMPDIR [VAR=VALUE...]; DIR gets stderr and log.
    run() {
        local dir=$1 file=$2 tmp=$3 tmpdir=$4
        shift 4
        (cd "$dir" && timeout -k 5 120 env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
            TMP="$tmp" TMPDIR="$tmpdir" LOG="$dir/log" ASAN_OPTIONS=exitcode=86 \
            "$@" "$file" </dev/null >/dev/null 2>"$dir/stderr")
        rc=$?
        report=$(sed -n '/^Error$/{n;p;q}' "$dir/stderr")
        ran=$(cat "$dir/log" 2>/dev/null)
    }
    pwd_command=$(shell_command 'pwd >>\\\"$LOG\\\"')

    # ---- Directories only the launcher may enter, whatever the umask ----
    pack_entries "$work/modes" '{"file": "x.txt", "name": "sub/x.txt"}' \
        "$(shell_command 'stat -c %a . sub >>\\\"$LOG\\\"')" || exit 1
    for mask in 000 077; do
        dir=$work/umask_$mask
        mkdir -p "$dir/tmp"
        (
            umask "$mask"
            run "$dir" "$work/modes" "$dir/tmp" "$dir/tmp"
            printf '%s\n' "$rc" >"$dir/rc"
        )
        check "umask $mask: exit code" 0 "$(<"$dir/rc")"
        check "umask $mask: the extraction directory and sub are 0700" "700 700" \
            "$(xargs <"$dir/log")"
    done

    # ---- A dangling VOQSETUP2 link in TMP is passed over like any other entry ----
    pack_entries "$work/pwd" '{"file": "x.txt"}' "$pwd_command" || exit 1
    dir=$work/dangling
    mkdir -p "$dir/tmp"
    ln -s "$dir/nowhere" "$dir/tmp/VOQSETUP2"
    run "$dir" "$work/pwd" "$dir/tmp" "$dir/tmp"
    check "dangling link: exit code" 0 "$rc"
    check "dangling link: VOQSETUP3 is used" "$dir/tmp/VOQSETUP3" "$ran"
    check "dangling link: it stays, and nothing is made where it points" "VOQSETUP2" \
        "$(entries "$dir/tmp")$(entries "$dir/nowhere")"

    # ---- Paths that are not UTF-8 ----
    before_root=$(find / -maxdepth 1 -name 'VOQSETUP*' | sort | xargs)
    dir=$work/odd_tmp
    odd=$dir/tmp_$'\xff\xc3'
    mkdir -p "$odd" "$dir/tmpdir"
    run "$dir" "$work/pwd" "$odd" "$dir/tmpdir"
    check "TMP not UTF-8: exit code" 0 "$rc"
    check "TMP not UTF-8: extracted there, byte for byte" "$odd/VOQSETUP2" "$ran"
    check "TMP not UTF-8: removed afterwards, TMPDIR untouched" "" \
        "$(entries "$odd")$(entries "$dir/tmpdir")"

    dir=$work/odd_tmpdir
    odd=$dir/tmpdir_$'\xe4'
    mkdir -p "$odd"
    run "$dir" "$work/pwd" "" "$odd"
    check "TMPDIR not UTF-8: exit code" 0 "$rc"
    check "TMPDIR not UTF-8: extracted there, byte for byte" "$odd/VOQSETUP2" "$ran"
    check "TMPDIR not UTF-8: removed afterwards" "" "$(entries "$odd")"
    check "never the root directory instead" "$before_root" \
        "$(find / -maxdepth 1 -name 'VOQSETUP*' | sort | xargs)"

    dir=$work/odd_own_path
    mkdir -p "$dir/tmp"
    cp "$work/pwd" "$dir/setup_"$'\xfe'
    run "$dir" "$dir/setup_"$'\xfe' "$dir/tmp" "$dir/tmp"
    check "own path not UTF-8: exit code ($report)" 0 "$rc"
    check "own path not UTF-8: the command ran" "$dir/tmp/VOQSETUP2" "$ran"

    # ---- A second user against the launcher running as root ----
    if [[ $(id -u) != 0 ]]; then
        skip "second user: the launcher must run as root to have another user to defend against"
    elif ! command -v setpriv >/dev/null || ! id nobody >/dev/null 2>&1; then
        skip "second user: needs setpriv and the user nobody"
    else
        nobody_ids=(--reuid=nobody --regid="$(id -g nobody)" --clear-groups)
        setpriv=$(command -v setpriv)

        # Under umask 000, in a TMP that anyone may write to and rename entries of (no sticky
        # bit): after run.sh was verified and before it runs, a command of the payload lets the
        # second user try to overwrite it, remove it, add a link beside it, and move the whole
        # directory away to put one of its own, with its own run.sh, in its place.
        cat >"$work/attack.sh" <<'ATTACK'
try() {
    if (eval "$2") 2>/dev/null; then echo "$1: done"; else echo "$1: refused"; fi >>"$ATTACK_LOG"
}
try overwrite 'echo "echo evil >>\"\$LOG\"" >run.sh'
try remove 'rm run.sh'
try link 'ln -s /etc planted'
try replace 'mv "$TMP/VOQSETUP2" "$TMP/moved" && mkdir "$TMP/VOQSETUP2" &&
    echo "echo evil >>\"\$LOG\"" >"$TMP/VOQSETUP2/run.sh"'
ATTACK
        dir=$work/swap
        mkdir -p "$dir/tmp"
        chmod 777 "$dir" "$dir/tmp"
        install -m 666 /dev/null "$dir/attack"
        pack_entries "$work/swap_setup" '{"file": "run.sh"}' '{"file": "big.bin"}' \
            "{\"command\": \"$setpriv\", \"in_extraction_dir\": true,
              \"params\": \"${nobody_ids[*]} -- /bin/sh $work/attack.sh\"}" \
            "$(shell_command 'sh run.sh; echo ran >>\\\"$LOG\\\"')" || exit 1
        (
            umask 000
            run "$dir" "$work/swap_setup" "$dir/tmp" "$dir/tmp" ATTACK_LOG="$dir/attack"
            printf '%s\n' "$rc" >"$dir/rc"
        )
        check "swap: exit code" 0 "$(<"$dir/rc")"
        echo "swap: the second user's tries: $(paste -sd ' ' "$dir/attack")"
        check "swap: nothing inside could be touched" \
            "overwrite: refused remove: refused link: refused" \
            "$(grep -v '^replace' "$dir/attack" | paste -sd ' ')"
        check "swap: the verified run.sh is what ran" "genuine ran" "$(paste -sd ' ' "$dir/log")"
        if grep -qx 'replace: done' "$dir/attack"; then
            # The name is someone else's now: the launcher left it alone, and deleted what it
            # had made through the directory it held, where that was moved to.
            check "swap: what was put in its place is not the launcher's to delete" "run.sh" \
                "$(entries "$dir/tmp/VOQSETUP2")"
            check "swap: the launcher's own, moved away, is emptied" "" \
                "$(entries "$dir/tmp/moved")"
        fi

        # A link planted inside while a large file is extracted: with the directory open to
        # all, sub/x.txt would go wherever the link pointed.
        dir=$work/plant
        mkdir -p "$dir/tmp" "$dir/outside"
        chmod 777 "$dir" "$dir/tmp"
        pack_entries "$work/plant_setup" '{"file": "big.bin"}' '{"file": "x.txt", "name": "sub/x.txt"}' \
            "$(shell_command 'cat sub/x.txt >>\\\"$LOG\\\"')" || exit 1
        "$setpriv" "${nobody_ids[@]}" -- bash -c '
            until [[ -e $1/done ]]; do
                [[ -d $1/tmp/VOQSETUP2 ]] && : >"$1/seen"
                ln -s "$1/outside" "$1/tmp/VOQSETUP2/sub" 2>/dev/null && : >"$1/planted"
            done' _ "$dir" &
        attacker=$!
        (
            umask 000
            run "$dir" "$work/plant_setup" "$dir/tmp" "$dir/tmp"
            printf '%s\n' "$rc" >"$dir/rc"
        )
        touch "$dir/done"
        wait "$attacker"
        check "planted link: exit code" 0 "$(<"$dir/rc")"
        check_true "planted link: the second user saw the directory while it was filled" \
            '[[ -e $dir/seen ]]'
        check_true "planted link: no link could be planted" '[[ ! -e $dir/planted ]]'
        check "planted link: nothing written where it would have pointed" "" \
            "$(entries "$dir/outside")"
        check "planted link: sub/x.txt went where it belongs" "extracted" "$(cat "$dir/log")"
    fi
fi

# ============================================================================ wine

if [[ $mode == wine ]]; then
    : "${probe:?security_probe.exe}"
    # shellcheck source=../../../../testing/wine/wine_env.sh
    source "$here/../../../../testing/wine/wine_env.sh"
    wine_test_start "$build_dir" en_US.UTF-8 || exit 1
    probe_win=$(unix_to_wine_path "$probe")

    # The probe reads back the extraction directory (its working directory), a directory made
    # inside it and a file extracted there.
    pack_entries "$work/dacl.exe" '{"file": "x.txt", "name": "sub/x.txt"}' \
        "{\"command\": \"${probe_win//\\/\\\\}\", \"params\": \". sub sub\\\\x.txt\",
          \"in_extraction_dir\": true}" || exit 1
    dir=$work/dacl
    mkdir -p "$dir/tmp"
    ln -s "$dir/nowhere" "$dir/tmp/VOQSETUP2"
    wine_tmp_dir "$dir/tmp"
    PROBE_LOG=$(unix_to_wine_path "$dir/log") timeout -k 5 120 wine "$work/dacl.exe" \
        </dev/null >/dev/null 2>>"$work/wine.log"
    check "descriptor: exit code" 0 "$?"
    log=$(tr -d '\r' <"$dir/log" 2>/dev/null)
    echo "descriptor: what Wine shows:"
    while read -r line; do printf '    %s\n' "$line"; done <<<"$log"
    value() { sed -n "s/^$1: //p" <<<"$log"; }
    check "a dangling VOQSETUP2 link is passed over" "$(unix_to_wine_path "$dir/tmp")\\VOQSETUP3" \
        "$(value cwd)"
    # Wine makes the DACL up from the Unix mode bits: an entry for Everyone (WD) stands for
    # "other" bits. The protection (P) and the exact entries can't be seen here.
    dacl=$(value '\.')
    check_true "descriptor of the extraction directory: a DACL was read ($dacl)" \
        '[[ $dacl == D:* ]]'
    check_true "descriptor of the extraction directory: no entry for Everyone or groups of users" \
        '[[ ! $dacl =~ \;(WD|BU|AU|IU)\) ]]'
    # What is made inside inherits the directory's DACL on Windows; Wine gives it the mode of
    # its own creation, so these are shown, not checked.
    echo "descriptor: inside, as Wine shows it: sub $(value sub), sub\\x.txt $(value 'sub\\x\.txt')"
    check "descriptor: the directory is removed afterwards" "VOQSETUP2" "$(entries "$dir/tmp")"
fi

echo "$failures failures"
cd "$build_dir" || exit 1
((failures == 0)) && rm -rf "$work"
((failures == 0))
