# shellcheck shell=bash
# Shared by the end-to-end scripts: each builds real launcher files with the host setup_packer,
# runs them under Wine and Xvfb as a user would, answers their windows through the UI driver and
# uses the recording program as the payload's command. Source it with the script's arguments:
#
#   SCRIPT BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE
#
# then call e2e_start. Every case gets its own directory (new_case) holding the launcher file,
# the recorder's log and a private TMP, so that leftovers of one case can't hide another's.

# The variables set here are read by the scripts that source this file.
# shellcheck disable=SC2034

build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?setup_launcher.exe}")
packer=$(realpath "${3:?host setup_packer}")
recorder=$(realpath "${4:?record_command_test.exe}")
driver=$(realpath "${5:?ui_driver.exe}")

# shellcheck source-path=SCRIPTDIR source=../wine/wine_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../wine/wine_env.sh"

# shellcheck source=/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
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

# Starts the Wine session and the X server for the whole script; the work directory lives under
# the build tree and is removed when every check passed.
e2e_start() {
    local name=$1
    for tool in "$packer" "$launcher" "$recorder" "$driver"; do
        [[ -f $tool ]] || {
            echo "missing: $tool" >&2
            exit 1
        }
    done
    wine_test_start "$build_dir" en_US.UTF-8 de_DE.UTF-8 || exit 1
    work=$(mktemp -d "$build_dir/$name.XXXXXX") || exit 1
    recorder_win=$(unix_to_wine_path "$recorder")
    # The first program of a session waits for Wine's services; the timed cases shouldn't.
    wine cmd.exe /c exit 0 >/dev/null 2>&1
    echo "display $DISPLAY, prefix $WINEPREFIX, work $work"
}

e2e_finish() {
    xvfb_stop
    if ((failures == 0)); then
        rm -rf "$work"
        echo "all checks passed"
        exit 0
    fi
    echo "$failures check(s) failed; files kept in $work"
    exit 1
}

# A fresh case directory: $case_dir with its own TMP ($case_tmp) and recorder log ($case_log).
# The recorder appends one record per run and reports whether update.msp is in its working
# directory.
new_case() {
    case_dir=$work/$1
    case_tmp=$case_dir/tmp
    case_log=$case_dir/commands.log
    mkdir -p "$case_tmp"
    wine_tmp_dir "$case_tmp"
    export RECORD_COMMAND_LOG RECORD_COMMAND_APPEND=1 RECORD_COMMAND_CHECK_FILE=update.msp
    RECORD_COMMAND_LOG=$(unix_to_wine_path "$case_log")
    echo "---- $1"
}

# Builds $case_dir/setup.exe (or the name in $setup_name) from the packer arguments given.
pack() {
    setup=$case_dir/${setup_name:-setup.exe}
    "$packer" build --launcher "$launcher" --output "$setup" "$@" >"$case_dir/pack.out" 2>&1 || {
        echo "FAIL: packing ($*)"
        cat "$case_dir/pack.out"
        failures=$((failures + 1))
        return 1
    }
}

# Starts the launcher file $setup as a user would, in the background; finish_launcher waits for it
# and leaves its exit code in $exit_code (124 when it was still running after a minute, as when
# a window nobody answers holds it up).
start_launcher() {
    timeout 60 wine "$setup" >>"$case_dir/wine.log" 2>&1 &
    launcher_pid=$!
}
finish_launcher() {
    exit_code=0
    wait "$launcher_pid" || exit_code=$?
    watch_outlasted_run=no
    [[ -n ${watch_pid:-} ]] && kill -0 "$watch_pid" 2>/dev/null && watch_outlasted_run=yes
}
run_launcher() {
    start_launcher
    finish_launcher
}

# Works a window through the UI driver; leaves its stdout in $out and "CODE STDERR" in $driven.
drive() {
    local status=0
    out=$(timeout 60 wine "$driver" "$@" 2>"$case_dir/driver.err") || status=$?
    driven="$status $(<"$case_dir/driver.err")"
}

# Starts a watcher for a dialog-class window (progress window, language dialog, message box):
#   start_watch MS [--title TITLE] [--dump]
# It polls for that long. Started ahead of the launcher, with a moment to get going, it sees a
# window that lives for a quarter of a second. end_watch waits for it and sets $watched to "none"
# or to "found", followed by the lines of the dump joined by "|". "none" counts only when the
# watcher was still looking when the launcher ended.
start_watch() {
    local timeout=$1
    shift
    wine "$driver" --class '#32770' --timeout "$timeout" "$@" >"$case_dir/watch.out" 2>/dev/null &
    watch_pid=$!
    sleep 0.7
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

# What is left in the case's TMP, one name per line; empty when the launcher cleaned up.
tmp_listing() { (cd "$case_tmp" && find . -mindepth 1 | sed 's|^\./||' | sort); }

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

# The text of a message box, as the driver prints it (CR and LF escaped).
box_text() { sed -n 's/^control: class=Static id=65535 text=//p' <<<"$1"; }

# Escaped for a regular expression: the texts hold backslashes, dots and parentheses.
# shellcheck disable=SC2001,SC2016
regex_quote() { sed 's/[][\.|$(){}?+*^]/\\&/g' <<<"$1"; }

# ---- Editing a launcher file after packing, to make the damage a payload can carry

file_size() { stat -c %s "$1"; }

# The unsigned little-endian number of WIDTH bytes at OFFSET.
read_le() {
    local file=$1 offset=$2 width=$3
    od -An -t "u$width" -j "$offset" -N "$width" --endian=little "$file" | tr -d ' '
}

# Overwrites bytes at OFFSET; the bytes are given as printf escapes ("\x01\x00").
write_bytes() {
    local file=$1 offset=$2 bytes=$3
    # shellcheck disable=SC2059
    printf "$bytes" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

write_u32_le() {
    local value=$3
    write_bytes "$1" "$2" "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((value & 255)) \
        $((value >> 8 & 255)) $((value >> 16 & 255)) $((value >> 24 & 255)))"
}

# The attachment that ends at END (just after its signature): where its fixed fields, its header
# and its data begin. Sets fixed_at, header_size, data_size, header_at and data_at.
attachment_at() {
    local file=$1 end=$2
    fixed_at=$((end - 33))
    header_size=$(read_le "$file" $((end - 16)) 4)
    data_size=$(read_le "$file" $((fixed_at + 4)) 8)
    header_at=$((end - header_size))
    data_at=$((header_at - data_size))
}

# The byte offsets of a UTF-16LE text (ASCII only) in a file, one per line.
utf16_offsets() {
    local pattern
    # shellcheck disable=SC2001
    pattern=$(sed 's/./&\\x00/g' <<<"$2")
    LC_ALL=C grep -obaP "$pattern" "$1" | cut -d: -f1
}
