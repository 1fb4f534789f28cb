# shellcheck shell=bash
# Checks for test scripts: each prints "ok: WHAT", or "FAIL: WHAT" with what differed, and counts
# the failures in $failures for the script's verdict.

failures=${failures:-0}

# check WHAT EXPECTED ACTUAL: the two texts are equal.
check() {
    if [[ $3 == "$2" ]]; then
        echo "ok: $1"
    else
        printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

# check_true WHAT EXPRESSION: the shell expression succeeds.
check_true() {
    if eval "$2"; then
        echo "ok: $1"
    else
        echo "FAIL: $1 ($2)"
        failures=$((failures + 1))
    fi
}

# skip WHAT: a part of a test that cannot run here, with the reason.
skip() { echo "skipped: $1"; }

# entries DIR: the entries below a directory, relative to it, sorted, on one line.
entries() { (cd "$1" 2>/dev/null && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort | xargs); }
