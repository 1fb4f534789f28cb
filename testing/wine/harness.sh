# shellcheck shell=bash
# What the Wine test scripts share, defined once: the start and the verdict, cases with a TMP of
# their own, the UI driver, message boxes, launcher files and runs, and the recorder's log.
#
# Set the variables the script has first (build_dir always; ui_driver, launcher, packer,
# chain_maker and recorder where the script uses them), source this file, then:
#
#   wine_script_start NAME [LOCALE...]  locales (LANG = the first), prefix, X server, $work
#   wine_script_finish                  the verdict and the exit code; $work goes when all passed
#   new_case NAME                       $case_dir with its own TMP ($case_tmp, $case_tmp_win) and
#                                       recorder log ($case_log)
#   drive ARGS...                       the UI driver: its stdout in $out, "CODE STDERR" in $driven
#   answer_box [ARGS...]                waits for a message box, presses OK; its text in $box
#   answer_error_boxes_while PID        answers every error box while PID runs; $boxes_seen
#   pack ARGS...                        $setup built by setup_packer from the launcher
#   make_chain ARGS...                  $setup built by the chain maker (corpus_generator chain)
#   start_launcher / finish_launcher    runs $setup in the background; $exit_code
#   start_watch [ARGS...] / end_watch     watches for a dialog-class window; $watched
#   records                             the recorder's log, one line per run
#   tmp_listing                         what is left in the case's TMP

# The variables set here are read by the scripts that source this file.
# shellcheck disable=SC2034

# shellcheck source-path=SCRIPTDIR source=wine_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"
# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

# ---------------------------------------------------------------------------- start and verdict

wine_script_start() {
    local name=$1 variable
    shift
    for variable in ui_driver launcher packer chain_maker recorder; do
        [[ -z ${!variable:-} || -f ${!variable} ]] || {
            echo "missing: ${!variable} ($variable)" >&2
            exit 1
        }
    done
    wine_test_start "$build_dir" "$@" || exit 1
    work=$(mktemp -d "$build_dir/$name.XXXXXX") || exit 1
    [[ -z ${recorder:-} ]] || recorder_win=$(unix_to_wine_path "$recorder")
    # The first program of a session waits for Wine's services; the timed cases shouldn't.
    wine cmd.exe /c exit 0 >/dev/null 2>&1
    echo "display $DISPLAY, prefix $WINEPREFIX, work $work"
}

wine_script_finish() {
    xvfb_stop
    if ((failures == 0)); then
        rm -rf "$work"
        echo "all checks passed"
        exit 0
    fi
    echo "$failures check(s) failed; files kept in $work"
    exit 1
}

# ---------------------------------------------------------------------------- cases

# A fresh case directory with a TMP of its own, so that leftovers of one case can't hide
# another's. The recorder appends one record per run to $case_log and reports whether update.msp
# is in its working directory.
new_case() {
    case_dir=$work/$1
    case_tmp=$case_dir/tmp
    case_log=$case_dir/commands.log
    mkdir -p "$case_tmp"
    wine_tmp_dir "$case_tmp"
    case_tmp_win=$(unix_to_wine_path "$case_tmp")
    export RECORD_COMMAND_LOG RECORD_COMMAND_APPEND=1 RECORD_COMMAND_CHECK_FILE=update.msp
    RECORD_COMMAND_LOG=$(unix_to_wine_path "$case_log")
    echo "---- $1"
}

# What is left in the case's TMP, one name per line; empty when the launcher cleaned up.
tmp_listing() { (cd "$case_tmp" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort); }

# ---------------------------------------------------------------------------- windows

drive() {
    local status=0
    out=$(timeout 60 wine "$ui_driver" "$@" 2>"$work/driver.err") || status=$?
    driven="$status $(<"$work/driver.err")"
    return "$status"
}

# The text of a message box, as the driver prints it (backslash, CR and LF escaped).
box_text() { sed -n 's/^control: class=Static id=65535 text=//p' <<<"$1"; }

# Waits for a message box (further driver arguments narrow the search, e.g. --title Error),
# reads it and presses OK. Leaves the dump in $out and the text, unescaped, in $box.
answer_box() {
    box=
    local attempt status
    # Now and then, under load, Wine ends the driver with status 1 and no word before it has
    # looked; the box is still there to be read then. Only a driver that printed nothing at all,
    # so pressed nothing, is started again: a box that is missing (status 2), anything the driver
    # said and a driver that ended after reading the box stay failures.
    for attempt in 1 2 3; do
        status=0
        drive --class '#32770' --timeout 30000 "$@" --dump --press 1 --wait-gone || status=$?
        [[ $status == 1 && $driven == "1 " && -z $out ]] || break
        echo "note: the UI driver ended with status 1 before reading anything; starting it again"
    done
    ((status == 0)) || return "$status"
    box=$(printf '%b' "$(box_text "$out")")
}

# answer_error_boxes_while PID [DUMPS_FILE]: while that process runs, answers every message box
# titled Error with OK (the progress window is a dialog too; error boxes are told apart by their
# title). Leaves the boxes' texts, unescaped, in the array $boxes_seen, and appends each dump to
# DUMPS_FILE when one is given.
answer_error_boxes_while() {
    local pid=$1 dumps=${2:-/dev/null}
    boxes_seen=()
    while kill -0 "$pid" 2>/dev/null; do
        drive --class '#32770' --title Error --timeout 700 --dump --press 1 --wait-gone || continue
        boxes_seen+=("$(printf '%b' "$(box_text "$out")")")
        printf '%s\n---\n' "$out" >>"$dumps"
    done
}

# Succeeds when no message box appears within three seconds.
no_box_left() { ! drive --class '#32770' --timeout 3000; }

# Watches for a dialog-class window (progress window, language dialog, message box) for as long
# as the launcher runs:
#   start_watch [--title TITLE] [--dump]
# It returns once the watcher looks, and finish_launcher tells the watcher to stop once the
# launcher has ended; so it sees a window that lives for a quarter of a second, however slowly
# the programs start (where 32-bit code is emulated, a start takes seconds). end_watch waits for
# it and sets $watched to "none" or to "found", followed by the lines of the dump joined by "|".
# "none" counts only when the watcher was still looking when the launcher ended.
start_watch() {
    local ready=$case_dir/watch.ready attempt
    watch_stop=$case_dir/watch.stop
    rm -f "$ready" "$watch_stop"
    wine "$ui_driver" --class '#32770' --timeout 120000 \
        --ready-file "$(unix_to_wine_path "$ready")" --stop-file "$(unix_to_wine_path "$watch_stop")" \
        "$@" >"$case_dir/watch.out" 2>/dev/null &
    watch_pid=$!
    for ((attempt = 0; attempt < 600; attempt++)); do
        [[ -e $ready ]] && return 0
        kill -0 "$watch_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "FAIL: the window watcher did not start looking"
    failures=$((failures + 1))
}
end_watch() {
    local status=0
    wait "$watch_pid" || status=$?
    if ((status == 0)); then
        watched="found$(tr '\n' '|' <"$case_dir/watch.out" | sed 's/^./|&/')"
    elif [[ $watch_outlasted_run == yes ]]; then
        watched=none
    else
        watched="none seen, but the watcher gave up before the launcher ended"
    fi
    watch_pid=
}

# ---------------------------------------------------------------------------- launcher files

# Builds $setup (the case's setup.exe, or the name in $setup_name) from the launcher with
# setup_packer's build arguments.
pack() {
    setup=$case_dir/${setup_name:-setup.exe}
    _harness_make "$packer" build --launcher "$launcher" --output "$setup" "$@"
}

# Builds $setup with the chain maker, for what setup_packer refuses: hostile names, wrong
# checksums and header sizes, names twice (corpus_generator chain's arguments).
make_chain() {
    setup=$case_dir/${setup_name:-setup.exe}
    _harness_make "$chain_maker" chain "$launcher" "$setup" "$@"
}

_harness_make() {
    "$@" >"$case_dir/pack.out" 2>&1 && return 0
    echo "FAIL: making $setup ($*)"
    cat "$case_dir/pack.out"
    failures=$((failures + 1))
    return 1
}

# Starts $setup as a user would, in the background; finish_launcher waits for it and leaves its
# exit code in $exit_code (124 when it was still running after a minute, as when a window nobody
# answers holds it up).
start_launcher() {
    (cd "$(dirname "$setup")" && exec timeout 60 wine "$setup") >>"$case_dir/wine.log" 2>&1 &
    launcher_pid=$!
}
finish_launcher() {
    exit_code=0
    wait "$launcher_pid" || exit_code=$?
    watch_outlasted_run=no
    if [[ -n ${watch_pid:-} ]]; then
        kill -0 "$watch_pid" 2>/dev/null && watch_outlasted_run=yes
        : >"$watch_stop"
    fi
}
run_launcher() {
    start_launcher
    finish_launcher
}

# The recorder's records: one "PARAMETERS | DIRECTORY | FILE CHECK" line per run, in run order.
# The command line starts with the quoted program, which the parameters follow after a space.
records() {
    [[ -f $case_log ]] || return 0
    # Through the environment: awk -v would read the backslashes of the path as escapes.
    PROGRAM="\"$recorder_win\"" awk '
        BEGIN { program = ENVIRON["PROGRAM"] }
        function flush() { if (line != "") print line; line = "" }
        index($0, program) == 1 { flush(); line = substr($0, length(program) + 2); next }
        { line = line " | " $0 }
        END { flush() }' "$case_log" | tr -d '\r'
}

# ---------------------------------------------------------------------------- texts

check_match() {
    local what=$1 pattern=$2 actual=$3
    if [[ $actual =~ $pattern ]]; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        echo "  pattern: $pattern"
        echo "  actual:  $actual"
        failures=$((failures + 1))
    fi
}

# Escaped for a regular expression: the texts hold backslashes, dots and parentheses.
# shellcheck disable=SC2001,SC2016
regex_quote() { sed 's/[][\.|$(){}?+*^]/\\&/g' <<<"$1"; }

# The byte offsets of a UTF-16LE text (ASCII only) in a file, one per line.
utf16_offsets() {
    local pattern
    # shellcheck disable=SC2001
    pattern=$(sed 's/./&\\x00/g' <<<"$2")
    LC_ALL=C grep -obaP "$pattern" "$1" | cut -d: -f1
}
