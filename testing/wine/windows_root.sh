# shellcheck shell=bash
# The Windows test root: Debian 13 with Wine 10 and its 32-bit part, where every Windows test, the
# demo, the pictures and the Wine benchmark run, on every host. Source it, then:
#
#   windows_root_ensure         make or reuse the root (scripts/install_dependencies.sh); prints
#                               its path
#   windows_root_find           its path, or fails saying why there is none to use (makes nothing)
#   windows_root_prepare        finds the root and how 32-bit code runs there, once per run;
#                               exports SETUP_TESTS_WINDOWS_ROOT (empty when there is none, with
#                               the reason in SETUP_TESTS_NO_WINDOWS_ROOT), SETUP_TESTS_I386
#                               (native, emulated or none) and SETUP_TESTS_I386_REPORT (one
#                               line that says how, or why not)
#   windows_root_run [--bind PATH]... [--host-display] -- COMMAND [ARG...]
#                               runs COMMAND in the root, with this source tree and each PATH at
#                               the same path, and its own network (with --host-display: the
#                               host's, and its X display)
#
# How 32-bit code runs is found out by running a 32-bit program, never read from configuration.
# Where the kernel runs none, Debian 13's qemu-i386 from the root is registered for 32-bit x86
# programs through binfmt_misc (flag F: the kernel opens it at once, so it serves inside the root
# too); a registration that is already there is never replaced, and where the kernel runs 32-bit
# code nothing is registered. SETUP_TESTS_EMULATE_I386=1 takes the emulated path on any host:
# inside each run, and nowhere else, Wine's 32-bit loader is replaced by a script that starts it
# under qemu-i386 (a binfmt_misc entry can't be used for that: it would hold for the whole
# machine).

# shellcheck source-path=SCRIPTDIR source=../test_roots.sh
source "$(dirname "${BASH_SOURCE[0]}")/../test_roots.sh"

WINDOWS_ROOT_NAME=windows-trixie
WINDOWS_ROOT_SUITE=trixie
# Wine 10 with both loaders; qemu's user-mode emulators, for hosts whose kernel runs no 32-bit
# code; the X server and the tools the tests and the pictures use (e2e_branded builds the example
# project with CMake and Ninja).
WINDOWS_ROOT_PACKAGES=(
    wine wine64 wine32:i386 fonts-wine qemu-user
    xvfb xauth x11-utils x11-apps imagemagick
    locales osslsigncode openssl python3 file cmake ninja-build
)
# Wine follows LANG only for locales that exist; the tests run in these.
WINDOWS_ROOT_LOCALES=(en_US de_DE de_AT en_GB en_CA fr_FR)

_WINDOWS_ROOT_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# In the root: Wine's 32-bit loader, and the emulator.
_WINDOWS_ROOT_LOADER32=/usr/lib/wine/wine
_WINDOWS_ROOT_QEMU=/usr/bin/qemu-i386
# The binfmt_misc entry made here: magic and mask match 32-bit x86 ELF executables and shared
# objects (what Debian's qemu packages register for i386).
_WINDOWS_ROOT_BINFMT_NAME=setup_launcher-i386
_WINDOWS_ROOT_BINFMT_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
_WINDOWS_ROOT_BINFMT_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# ---------------------------------------------------------------------------- the root

_windows_root_recipe() {
    local locale commands=""
    for locale in "${WINDOWS_ROOT_LOCALES[@]}"; do
        commands+="localedef -i $locale -f UTF-8 $locale.UTF-8; "
    done
    printf '%s\n' --then "$commands" "$WINDOWS_ROOT_NAME" "$WINDOWS_ROOT_SUITE" \
        "${WINDOWS_ROOT_PACKAGES[@]}"
}

windows_root_ensure() {
    local recipe
    mapfile -t recipe < <(_windows_root_recipe)
    test_root_ensure "${recipe[@]}"
}

windows_root_find() {
    local recipe
    mapfile -t recipe < <(_windows_root_recipe)
    test_root_find "${recipe[@]}"
}

# ---------------------------------------------------------------------------- running in it

windows_root_run() {
    local options=() display=
    while [[ $# -gt 0 && $1 != -- ]]; do
        case $1 in
        --bind) options+=(--bind "${2:-}") && shift 2 ;;
        --host-display) display=yes && shift ;;
        *) _test_root_error "windows_root_run: unknown option $1" || return 1 ;;
        esac
    done
    shift
    [[ -n ${SETUP_TESTS_WINDOWS_ROOT:-} ]] ||
        _test_root_error "windows_root_run: no Windows test root (windows_root_prepare first)" || return 1
    if [[ -n $display ]]; then
        [[ -d /tmp/.X11-unix ]] && options+=(--bind /tmp/.X11-unix)
        [[ -f ${XAUTHORITY:-} ]] && options+=(--bind "$XAUTHORITY")
    else
        options+=(--isolate-network)
    fi
    test_root_run "$SETUP_TESTS_WINDOWS_ROOT" --bind "$_WINDOWS_ROOT_SOURCE" "${options[@]}" -- \
        bash -c "$_WINDOWS_ROOT_ENTRY" windows_root "$@"
}

# What each run does first, inside the root: on the forced emulated path, Wine's 32-bit loader
# becomes a script that runs it under qemu-i386. The loader keeps its name and directory, where
# Wine looks for it again to start the next 32-bit process, and finds the script; the ELF file
# beside it has another name, so nothing starts it but qemu. The script counts its starts, and
# the run ends by saying how many there were.
# shellcheck disable=SC2016
_WINDOWS_ROOT_ENTRY='
export SETUP_TESTS_IN_WINDOWS_ROOT=1
if [[ ${SETUP_TESTS_EMULATE_I386:-} == 1 ]]; then
    loader='"$_WINDOWS_ROOT_LOADER32"'
    starts=/run/setup_tests_i386_starts
    mv "$loader" "$loader.i386" || exit 1
    printf "%s\n" "#!/bin/sh" "echo >>$starts" \
        "exec '"$_WINDOWS_ROOT_QEMU"' -0 \"\$0\" $loader.i386 \"\$@\"" >"$loader" &&
        chmod 755 "$loader" && : >"$starts" || exit 1
    "$@"
    status=$?
    count=$(wc -l <"$starts")
    ((count == 0)) || echo "qemu-i386 started Wine'"'"'s 32-bit loader $count times in this run" >&2
    exit "$status"
fi
exec "$@"
'

# ---------------------------------------------------------------------------- 32-bit code

# Runs a 32-bit program in the root and prints which program the kernel runs for it: the
# program itself where the kernel runs 32-bit code, else the emulator that binfmt_misc names; or
# "none: REASON". The program, the root's 32-bit dynamic loader, is given a FIFO to read, where
# it waits until the process has been looked at (its /proc entry names what runs).
# shellcheck disable=SC2016
_WINDOWS_ROOT_PROBE='
program=/lib/ld-linux.so.2
fifo=$(mktemp -u /tmp/i386_probe.XXXXXX) && mkfifo "$fifo" || exit 1
exec {writer}<>"$fifo"
"$@" "$program" --list "$fifo" >/dev/null 2>/tmp/i386_probe.err {writer}>&- &
pid=$!
shell=$(readlink /proc/$$/exe) exe=$shell
for ((i = 0; i < 1000; i++)); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || break
    [[ $exe == "$shell" ]] || break
    sleep 0.01
done
# Something that is no ELF file ends it, whether it has opened the FIFO yet or not.
head -c 64 /dev/zero >&"$writer"
wait "$pid"
exec {writer}>&-
if [[ -z $exe || $exe == "$shell" ]]; then
    error=$(head -n 1 /tmp/i386_probe.err)
    echo "none: ${error##*: }"
elif [[ $exe == "$(readlink -f "$program")" ]]; then
    echo native
else
    echo "emulated: $exe"
fi
'

_windows_root_probe() {
    local runner=()
    [[ ${SETUP_TESTS_EMULATE_I386:-} == 1 ]] && runner=("$_WINDOWS_ROOT_QEMU")
    windows_root_run -- bash -c "$_WINDOWS_ROOT_PROBE" i386_probe "${runner[@]}"
}

_windows_root_qemu_version() {
    windows_root_run -- "$_WINDOWS_ROOT_QEMU" --version | sed -nE '1s/.*version ([^ ]+).*/\1/p'
}

# _windows_root_binfmt SCRIPT [ARG...]: runs the sh SCRIPT with binfmt_misc's directory as $1,
# mounting it, where the host has not, in a mount namespace of its own: the registrations are
# the kernel's, the mount would only be in the way.
_windows_root_binfmt() {
    local script=$1 directory=/proc/sys/fs/binfmt_misc
    shift
    # shellcheck disable=SC2016
    if [[ -e $directory/register ]]; then
        sh -c "$script" binfmt "$directory" "$@"
    else
        unshare --mount --propagation private sh -c \
            'mount -t binfmt_misc binfmt_misc "$1" && shift && sh -c "$@"' binfmt "$directory" \
            "$script" binfmt "$directory" "$@"
    fi
}

# Registers the root's qemu-i386 for 32-bit x86 programs, unless an entry of that name is
# already there.
_windows_root_register_qemu() {
    local qemu=$SETUP_TESTS_WINDOWS_ROOT$_WINDOWS_ROOT_QEMU
    [[ $(id -u) == 0 ]] || {
        echo "registering qemu-i386 through binfmt_misc needs root privileges"
        return 1
    }
    # shellcheck disable=SC2016
    _windows_root_binfmt '
        if [ -e "$1/$2" ]; then
            echo "binfmt_misc has an entry $2 already, yet 32-bit programs do not run; it is left as it is"
            exit 1
        fi
        printf "%s" ":$2:M::$3:$4:$5:F" >"$1/register"' \
        "$_WINDOWS_ROOT_BINFMT_NAME" "$_WINDOWS_ROOT_BINFMT_MAGIC" "$_WINDOWS_ROOT_BINFMT_MASK" "$qemu"
}

# Sets SETUP_TESTS_I386 and SETUP_TESTS_I386_REPORT.
_windows_root_i386() {
    local answer version failure
    answer=$(_windows_root_probe) || answer="none: the probe did not run"
    if [[ $answer == none:* && ${SETUP_TESTS_EMULATE_I386:-} != 1 ]]; then
        if failure=$(_windows_root_register_qemu 2>&1); then
            echo "This kernel runs no 32-bit code: registered $SETUP_TESTS_WINDOWS_ROOT$_WINDOWS_ROOT_QEMU" \
                "for 32-bit x86 programs through binfmt_misc (entry $_WINDOWS_ROOT_BINFMT_NAME)." >&2
            answer=$(_windows_root_probe) || answer="none: the probe did not run"
        else
            answer="none: this kernel runs no 32-bit code, and $failure"
        fi
    fi
    case $answer in
    native)
        SETUP_TESTS_I386=native
        SETUP_TESTS_I386_REPORT="32-bit code runs natively: this kernel runs it"
        ;;
    emulated:*)
        SETUP_TESTS_I386=emulated
        version=$(_windows_root_qemu_version)
        if [[ ${SETUP_TESTS_EMULATE_I386:-} == 1 ]]; then
            SETUP_TESTS_I386_REPORT="32-bit code runs emulated: qemu-i386 $version runs Wine's 32-bit loader in each run (SETUP_TESTS_EMULATE_I386=1)"
        elif [[ ${answer#emulated: } == "$SETUP_TESTS_WINDOWS_ROOT$_WINDOWS_ROOT_QEMU" ]]; then
            SETUP_TESTS_I386_REPORT="32-bit code runs emulated: binfmt_misc starts the test root's qemu-i386 $version for it"
        else
            SETUP_TESTS_I386_REPORT="32-bit code runs emulated: binfmt_misc starts ${answer#emulated: } for it (an entry that was there before)"
        fi
        ;;
    *)
        SETUP_TESTS_I386=none
        SETUP_TESTS_I386_REPORT="32-bit code does not run here: ${answer#none: }"
        ;;
    esac
}

windows_root_prepare() {
    local reason
    SETUP_TESTS_WINDOWS_ROOT='' SETUP_TESTS_NO_WINDOWS_ROOT='' SETUP_TESTS_I386=none
    SETUP_TESTS_I386_REPORT="32-bit code does not run here: there is no Windows test root"
    if ! SETUP_TESTS_WINDOWS_ROOT=$(windows_root_find 2>&1); then
        reason=${SETUP_TESTS_WINDOWS_ROOT#test_roots: }
        SETUP_TESTS_WINDOWS_ROOT=
        SETUP_TESTS_NO_WINDOWS_ROOT="$reason (scripts/install_dependencies.sh makes it)"
    elif [[ $(id -u) != 0 ]]; then
        SETUP_TESTS_WINDOWS_ROOT=
        SETUP_TESTS_NO_WINDOWS_ROOT="running in the Windows test root needs root privileges"
    else
        _windows_root_i386
    fi
    export SETUP_TESTS_WINDOWS_ROOT SETUP_TESTS_NO_WINDOWS_ROOT SETUP_TESTS_I386 SETUP_TESTS_I386_REPORT
}
