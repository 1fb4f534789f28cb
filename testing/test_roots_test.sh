#!/usr/bin/env bash
# What testing/test_roots.sh promises about a run in a test root, checked in the Windows test
# root: the exit status passes through; the command sees the root, the bound paths at their own
# paths, an empty /tmp and (with --isolate-network) no network but a loopback; the root itself
# never changes; and nothing the run started outlives it, when it ends, when its caller is
# killed with SIGKILL, or on Ctrl+C. Skips (77) without root privileges or without the root.
#
#   test_roots_test.sh
# The commands run in the root are in single quotes on purpose.
# shellcheck disable=SC2016
set -uo pipefail
testing=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=checks.sh
source "$testing/checks.sh"
# shellcheck source-path=SCRIPTDIR source=wine/windows_root.sh
source "$testing/wine/windows_root.sh"

[[ $(id -u) == 0 ]] || {
    echo "skipped: runs in a test root need root privileges"
    exit 77
}
root=$(windows_root_find 2>&1) || {
    echo "skipped: ${root#test_roots: } (scripts/install_dependencies.sh makes it)"
    exit 77
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every process a case starts carries this in its command line, to be looked for afterwards.
token=test-roots-$$-$RANDOM

# The PIDs of this test's processes that run the given case's command, one per line. (The
# bracket keeps grep's own command line from matching.)
processes_of() {
    grep -lsE -- "$token-[${1:0:1}]${1:1}" /proc/[0-9]*/cmdline | cut -d/ -f3
}

# wait_gone CASE: succeeds once no process of that case is left (within ten seconds).
wait_gone() {
    local attempt
    for ((attempt = 0; attempt < 100; attempt++)); do
        [[ -z $(processes_of "$1") ]] && return 0
        sleep 0.1
    done
    return 1
}

# start_run CASE [COMMAND...]: starts COMMAND (by default the caller's shell) running a command
# in the root that stays, and waits until that command has started; its PID is in $run_pid.
start_run() {
    local case=$1 attempt
    shift
    (($#)) || set -- bash
    "$@" -c 'source "$1" && test_root_run "$2" --bind "$3" -- sh -c "echo >\"\$1\"; sleep 300" "$4" "$3/$5"' \
        caller "$testing/test_roots.sh" "$root" "$work" "$token-$case" "$case.started" &
    run_pid=$!
    for ((attempt = 0; attempt < 200; attempt++)); do
        [[ -e $work/$case.started ]] && return 0
        sleep 0.1
    done
    return 1
}

# ---- What the command sees

status=0
test_root_run "$root" -- sh -c 'exit 7' || status=$?
check "the exit status passes through" 7 "$status"

check "the command runs in the root" "VERSION_CODENAME=trixie" \
    "$(test_root_run "$root" -- grep '^VERSION_CODENAME=' /etc/os-release)"

mkdir "$work/bound"
test_root_run "$root" --bind "$work/bound" -- sh -c 'echo inside >"$1/written"' sh "$work/bound"
check "a bound path is at its own path, and writes reach the host" inside \
    "$(cat "$work/bound/written" 2>/dev/null)"

echo host >"/tmp/$token-host-file"
check "/tmp is the run's own" "missing" \
    "$(test_root_run "$root" -- sh -c '[ -e "$1" ] && echo seen || echo missing' sh "/tmp/$token-host-file")"
rm -f "/tmp/$token-host-file"

check "the run's own network has a loopback only" "lo" \
    "$(test_root_run "$root" --isolate-network -- sh -c "sed -n '3,\$s/:.*//p' /proc/net/dev" | xargs)"

# ---- The root never changes

test_root_run "$root" -- sh -c "echo changed >/etc/$token; rm -f /etc/os-release"
check "what a run writes into the root stays in the run" "missing, os-release kept" \
    "$([[ -e $root/etc/$token ]] && echo present || echo missing), $([[ -e $root/etc/os-release ]] && echo os-release kept)"
check "the next run sees the root as it was" "trixie" \
    "$(test_root_run "$root" -- sh -c ". /etc/os-release && echo \$VERSION_CODENAME")"

# ---- Nothing outlives the run

test_root_run "$root" -- sh -c "setsid sh -c 'sleep 300' $token-left </dev/null >/dev/null 2>&1 &
    sleep 0.5"
check_true "a process the run left running ends with it" "wait_gone left"

# The caller killed: the run's processes end with it.
if start_run killed; then
    kill -KILL "$run_pid"
    wait "$run_pid" 2>/dev/null
    check_true "killing the caller with SIGKILL ends the run" "wait_gone killed"
else
    check "the run to kill started" started "not started"
fi

# Ctrl+C: SIGINT to the foreground process group, here a session of its own. (A command started
# in the background by a shell ignores SIGINT; env puts the default back.)
if start_run interrupted setsid env --default-signal=INT bash; then
    kill -INT -- "-$run_pid"
    status=0
    wait "$run_pid" || status=$?
    check_true "Ctrl+C ends the run" "wait_gone interrupted"
    check "Ctrl+C: the run ends by the signal" 130 "$status"
else
    check "the run to interrupt started" started "not started"
fi

# ---- Finding a root

check_true "a root of another recipe is not found" \
    "! test_root_find $WINDOWS_ROOT_NAME $WINDOWS_ROOT_SUITE another-package 2>/dev/null"

echo "test roots: $failures failures"
((failures == 0))
