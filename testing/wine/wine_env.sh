# shellcheck shell=bash
# Shared setup for tests that run Windows programs under Wine; safe to use under "set -e".
# Everything here runs inside the Windows test root (testing/wine/windows_root.sh: Debian 13 with
# Wine 10), where testing/wine/run_in_windows_root.sh starts every Windows test. Source it, then:
#
#   wine_host_probe              find out which Windows builds run here (once)
#   ensure_locales [LOCALE...]   generate missing glibc locales (default de_DE.UTF-8 en_US.UTF-8)
#   wine_env_trap                clean up everything below when the script ends, however it ends
#   wine_env_init BUILD_DIR      prepare the build tree's Wine prefix and export the Wine settings;
#                                ends the script with $WINE_SKIP_CODE (ctest's skip) when that
#                                build can't run here
#   xvfb_start                   start a private X server and export DISPLAY
#   xvfb_stop                    wait for the Wine session to end, then stop that X server
#   wine_tmp_dir DIR             make Windows programs started afterwards use DIR as TMP/TEMP
#   unix_to_wine_path PATH       print PATH as the Windows program sees it (Z:\...)
#
# The prefix $BUILD_DIR/wineprefix is created once and never run in. Each test runs in its own
# copy of it ($BUILD_DIR/wineprefix-runs/run-*: own registry files, drive_c shared through a
# symbolic link), because one Wine session serves every process of a prefix: tests sharing a
# prefix would share one desktop across their X servers, and the first test to stop its X server
# would take the other tests' windows with it.

WINE_ENV_STAMP_VERSION=3
WINE_SKIP_CODE=77

# ---------------------------------------------------------------------------- what runs here

# Which Wine runs here is found out by running its loaders. How 32-bit code runs (natively or
# emulated) was settled before the run entered the root; where it does not run at all, the
# 32-bit loader fails with "Exec format error". Each answer is "yes" or "no: REASON".
_wine_probe_win32() { _wine_probe_loader /usr/lib/wine/wine 32-bit wine32:i386; }

_wine_probe_win64() { _wine_probe_loader /usr/lib/wine/wine64 64-bit wine64; }

# _wine_probe_loader LOADER KIND PACKAGE: whether that Wine loader starts.
_wine_probe_loader() {
    local out
    if [[ ! -e $1 ]]; then
        echo "no: $2 Wine is not installed (Debian package $3)"
    elif ! out=$("$1" --version 2>&1 >/dev/null); then
        echo "no: $2 Wine does not start here (${out##*: })"
    else
        echo yes
    fi
}

# Sets and exports WINE_HOST_WIN32 and WINE_HOST_WIN64. Answers already in the environment are
# kept, so a test run probes once and every test inherits the answers.
wine_host_probe() {
    [[ -n ${WINE_HOST_WIN32:-} ]] || WINE_HOST_WIN32=$(_wine_probe_win32)
    [[ -n ${WINE_HOST_WIN64:-} ]] || WINE_HOST_WIN64=$(_wine_probe_win64)
    export WINE_HOST_WIN32 WINE_HOST_WIN64
}

# The Windows architecture of a build tree, as its configuration recorded it: win32 or win64.
wine_build_arch() {
    local file=${1:?wine_build_arch needs the build directory}/wine_arch arch
    [[ -r $file ]] && read -r arch <"$file" && [[ $arch == win32 || $arch == win64 ]] || {
        echo "wine_env: $file is missing; configure the build tree first" >&2
        return 1
    }
    echo "$arch"
}

# wine_host_can_run ARCH: succeeds when programs of that architecture run here; otherwise prints
# the reason.
wine_host_can_run() {
    wine_host_probe
    local answer=$WINE_HOST_WIN64
    [[ $1 == win32 ]] && answer=$WINE_HOST_WIN32
    [[ $answer == yes ]] && return 0
    echo "${answer#no: }"
    return 1
}

# The commands wine, wineserver and wineboot, first on PATH, for both builds: the 64-bit loader
# and the 64-bit server, started directly. The 64-bit loader hands a 32-bit program to the 32-bit
# loader itself, while Wine's "wine" script starts the 32-bit loader for everything (wineboot and
# reg too), which costs seconds a start where 32-bit code is emulated. The prefix is a 64-bit one
# for both builds; the i686 programs run in its 32-bit part, as on 64-bit Windows.
_wine_env_select() {
    local bin=$1/wine-bin
    mkdir -p "$bin" &&
        _wine_env_wrapper "$bin/wine" 'export WINELOADER=/usr/lib/wine/wine64' \
            'exec /usr/lib/wine/wine64 "$@"' &&
        _wine_env_wrapper "$bin/wineserver" 'exec /usr/lib/wine/wineserver64 "$@"' &&
        _wine_env_wrapper "$bin/wineboot" 'exec "$(dirname "$0")/wine" wineboot.exe "$@"' ||
        return 1
    export WINEARCH=win64
    case ":$PATH:" in
    *":$bin:"*) ;;
    *) export PATH=$bin:$PATH ;;
    esac
}

# _wine_env_wrapper PATH LINE...: a shell script of those lines, replaced atomically, since
# parallel tests of one build tree write the same wrappers.
_wine_env_wrapper() {
    local path=$1 temporary
    shift
    temporary=$(mktemp "$path.XXXXXX") &&
        printf '%s\n' '#!/bin/sh' "$@" >"$temporary" &&
        chmod 755 "$temporary" &&
        mv -f "$temporary" "$path"
}

# ---------------------------------------------------------------------------- locales

# Wine maps LANG to the interface language, and converts command lines and file names, only
# when that glibc locale exists.
_wine_env_locale_exists() {
    local wanted
    wanted=$(printf '%s' "$1" | tr '[:upper:]' '[:lower:]' | tr -d -- '-')
    locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]' | tr -d -- '-' | grep -qxF "$wanted"
}

ensure_locales() {
    local wanted=("$@") name missing=()
    ((${#wanted[@]})) || wanted=(de_DE.UTF-8 en_US.UTF-8)
    for name in "${wanted[@]}"; do
        _wine_env_locale_exists "$name" || missing+=("$name")
    done
    ((${#missing[@]})) || return 0
    (
        flock 9
        for name in "${missing[@]}"; do
            _wine_env_locale_exists "$name" && continue
            echo "wine_env: generating locale $name" >&2
            localedef -i "${name%%.*}" -f UTF-8 "$name" || exit 1
        done
    ) 9>/tmp/wine_env_locales.lock
}

# ---------------------------------------------------------------------------- prefix

# Settings every run relies on:
# - a crash ends the process instead of waiting in Wine's crash dialog;
# - windows are not "managed": Xvfb has no window manager, and Wine otherwise waits a second
#   for one each time a window is hidden or destroyed;
# - TMP and TEMP come from WINETMP/WINETEMP (wine_tmp_dir): the registry's values, the user's
#   and the system's, would override them;
# - windows go to X only: Wine 10 tries Wayland first, and a program run without an X server
#   would complain of the Wayland session it doesn't find.
_wine_env_configure() {
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f &&
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f &&
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d x11 /f &&
        _wine_env_delete_values 'HKCU\Environment' TMP TEMP &&
        _wine_env_delete_values \
            'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' TMP TEMP
}

_wine_env_delete_values() {
    local key=$1 value
    shift
    for value in "$@"; do
        wine reg delete "$key" /v "$value" /f || return 1
    done
}

# _wine_env_boot PREFIX LOG: makes the prefix; what Wine says goes to LOG.
_wine_env_boot() {
    local -x WINEPREFIX=$1
    local DISPLAY
    unset DISPLAY
    {
        wineboot -i &&
            timeout 120 wineserver -w &&
            _wine_env_configure &&
            timeout 120 wineserver -w
    } >"$2" 2>&1
}

_wine_env_stamp_text() {
    printf '%s %s\n' "$WINE_ENV_STAMP_VERSION" "$(wine --version)"
}

# Creates the shared prefix. Runs under the lock, so parallel tests wait for the first one
# instead of booting the same prefix twice. A prefix without a matching stamp (an interrupted
# preparation, another Wine version, older settings) is made again from scratch.
_wine_env_prepare_base() {
    local base=$1 stamp=$1/.wine_env_prepared
    [[ -f $stamp && $(<"$stamp") == "$(_wine_env_stamp_text)" ]] && return 0
    echo "wine_env: preparing $base (about 30 s, once per build tree)" >&2
    # Now and then, under load, a boot fails (its wineserver drops the connection); another try
    # from scratch settles it. Each failure shows what Wine said.
    local attempt
    for attempt in 1 2 3; do
        _wine_env_discard_base "$base" || return 1
        if _wine_env_boot "$base" "$base.boot.log"; then
            _wine_env_stamp_text >"$stamp"
            return 0
        fi
        echo "wine_env: preparing $base failed (try $attempt); Wine said:" >&2
        tail -n 20 "$base.boot.log" | sed 's/^/    /' >&2
    done
    return 1
}

# Removes a prefix that is not ready. A failed boot may leave its session running, still writing
# into the prefix: that session (this prefix's own, found through WINEPREFIX) ends first.
_wine_env_discard_base() {
    local -x WINEPREFIX=$1
    if [[ -d $1 ]]; then
        wineserver -k >/dev/null 2>&1
        timeout 30 wineserver -w >/dev/null 2>&1
    fi
    rm -rf "${1:?}" && return 0
    echo "wine_env: the unfinished prefix $1 cannot be removed" >&2
    return 1
}

# Copies what a Wine session writes (the registry) and links what it only reads (drive_c).
# The prefix's "wineserver" file names the directory of the session's socket under /tmp. Wine
# creates it when it is missing, but two processes starting together on a new prefix then both
# create one and one of them fails ("chdir to /tmp/wine-...: No such file"), so it is created
# here, before any process starts.
_wine_env_make_run_prefix() {
    local base=$1 run=$2 socket_dir
    cp -p "$base"/system.reg "$base"/user.reg "$base"/userdef.reg "$base"/.update-timestamp \
        "$run"/ &&
        cp -a "$base"/dosdevices "$run"/ &&
        ln -s "$base"/drive_c "$run"/drive_c &&
        socket_dir=$(mktemp -d /tmp/wine-XXXXXX) &&
        printf '%s' "${socket_dir#/tmp/}" >"$run"/wineserver &&
        chmod 400 "$run"/wineserver
}

# Removes the run prefixes of tests that were killed. A test holds a lock on its run prefix for
# as long as it runs (runs in other PID namespaces have no PID that means anything here); its
# processes, Wine session and X server included, ended with its namespace. A run prefix gets its
# lock under the base prefix's lock, as this runs: one without a lock file is an older rig's.
_wine_env_remove_stale_runs() {
    local runs=$1 dir lock_fd
    for dir in "$runs"/run-*; do
        [[ -d $dir ]] || continue
        if [[ ! -e $dir/.in_use ]]; then
            _wine_env_remove_run_prefix "$dir"
            continue
        fi
        exec {lock_fd}<"$dir/.in_use" || continue
        flock -n "$lock_fd" && _wine_env_remove_run_prefix "$dir"
        exec {lock_fd}<&-
    done
}

_wine_env_remove_run_prefix() {
    local dir=$1 socket_dir=
    [[ -f $dir/wineserver ]] && socket_dir=$(<"$dir/wineserver")
    # Only the directory this session created, never another prefix's.
    if [[ $socket_dir =~ ^wine-[A-Za-z0-9]{6}$ && -O /tmp/$socket_dir ]]; then
        rm -rf "/tmp/${socket_dir:?}"
    fi
    rm -rf "${dir:?}"
}

wine_env_init() {
    local build_dir=${1:?wine_env_init needs the build directory} arch reason
    [[ ${SETUP_TESTS_IN_WINDOWS_ROOT:-} == 1 ]] || {
        echo "wine_env: Windows programs run in the Windows test root: start this through" \
            "testing/wine/run_in_windows_root.sh" >&2
        return 1
    }
    build_dir=$(realpath -m "$build_dir")
    local base=$build_dir/wineprefix runs=$build_dir/wineprefix-runs
    arch=$(wine_build_arch "$build_dir") || return 1
    if ! reason=$(wine_host_can_run "$arch"); then
        echo "skipped: the $arch build cannot run here: $reason"
        exit "$WINE_SKIP_CODE"
    fi
    _wine_env_select "$build_dir" || return 1
    export WINEDEBUG=-all
    # No Mono or Gecko prompts, and no menu entries for the desktop that isn't there.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    mkdir -p "$build_dir" "$runs" || return 1
    # Under the base prefix's lock, so that no other test takes the new run prefix, not yet
    # locked, for a stale one.
    local base_lock status=0
    exec {base_lock}>"$base.lock" && flock "$base_lock" || return 1
    _wine_env_prepare_base "$base" && _wine_env_remove_stale_runs "$runs" &&
        WINE_ENV_RUN_PREFIX=$(mktemp -d "$runs/run-XXXXXX") &&
        exec {WINE_ENV_RUN_LOCK}>"$WINE_ENV_RUN_PREFIX/.in_use" &&
        flock "$WINE_ENV_RUN_LOCK" || status=1
    exec {base_lock}>&-
    ((status == 0)) && _wine_env_make_run_prefix "$base" "$WINE_ENV_RUN_PREFIX" || return 1
    export WINEPREFIX=$WINE_ENV_RUN_PREFIX
}

# ---------------------------------------------------------------------------- X server

_xvfb_display_free() {
    [[ ! -e /tmp/.X11-unix/X$1 && ! -e /tmp/.X$1-lock ]]
}

# Ready means: our server still runs, owns the display's lock file (another server that won the
# race for the same number would own it) and answers.
_xvfb_wait_ready() {
    local number=$1 pid=$2 owner attempt
    for ((attempt = 0; attempt < 100; attempt++)); do
        kill -0 "$pid" 2>/dev/null || return 1
        owner=
        [[ -r /tmp/.X$number-lock ]] && read -r owner <"/tmp/.X$number-lock"
        if [[ $owner =~ ^[0-9]+$ ]] && ((owner == pid)); then
            if ! command -v xdpyinfo >/dev/null; then
                [[ -S /tmp/.X11-unix/X$number ]] && return 0
            elif xdpyinfo -display ":$number" >/dev/null 2>&1; then
                return 0
            fi
        fi
        sleep 0.1
    done
    return 1
}

xvfb_start() {
    local number=$((100 + $$ % 200)) attempt pid
    for ((attempt = 0; attempt < 100; attempt++, number++)); do
        _xvfb_display_free "$number" || continue
        Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        pid=$!
        if _xvfb_wait_ready "$number" "$pid"; then
            XVFB_PID=$pid
            export DISPLAY=:$number
            return 0
        fi
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "xvfb_start: no X server could be started" >&2
    return 1
}

# Waits for the Wine session to end first: its processes still talk to the X server.
xvfb_stop() {
    if [[ -n ${WINEPREFIX:-} ]] && ! timeout 30 wineserver -w; then
        wineserver -k || true
        timeout 10 wineserver -w || true
    fi
    [[ -n ${XVFB_PID:-} ]] || return 0
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
}

# ---------------------------------------------------------------------------- cleanup

# On failure the Windows programs still running are ended at once instead of waited for; the
# session belongs to this test alone.
wine_env_cleanup() {
    local status=$?
    if ((status != 0)) && [[ -n ${WINEPREFIX:-} ]]; then
        wineserver -k 2>/dev/null || true
    fi
    xvfb_stop
    if [[ -n ${WINE_ENV_RUN_PREFIX:-} ]]; then
        _wine_env_remove_run_prefix "$WINE_ENV_RUN_PREFIX"
        WINE_ENV_RUN_PREFIX=
        exec {WINE_ENV_RUN_LOCK}>&-
    fi
    return "$status"
}

wine_env_trap() {
    trap wine_env_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# ---------------------------------------------------------------------------- paths

unix_to_wine_path() {
    local path
    path=$(realpath -m -s "${1:?unix_to_wine_path needs a path}")
    printf 'Z:%s\n' "${path//\//\\}"
}

wine_tmp_dir() {
    local dir
    dir=$(unix_to_wine_path "${1:?wine_tmp_dir needs a directory}")
    export WINETMP=$dir WINETEMP=$dir
}

# ---------------------------------------------------------------------------- the usual start

# wine_test_start BUILD_DIR [LOCALE...]: what a Wine test does first. Generates the locales and
# sets LANG to the first one (default en_US.UTF-8) with nothing overriding it, arranges the
# cleanup, prepares this run's prefix and starts an X server.
wine_test_start() {
    local build_dir=${1:?wine_test_start needs the build directory}
    shift
    local locales=("$@")
    ((${#locales[@]})) || locales=(en_US.UTF-8)
    ensure_locales "${locales[@]}" || return 1
    export LANG=${locales[0]}
    unset LC_ALL LC_MESSAGES LANGUAGE
    wine_env_trap
    wine_env_init "$build_dir" || return 1
    xvfb_start
}
