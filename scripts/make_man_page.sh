#!/usr/bin/env bash
# Writes setup_packer's manual page from its --help texts, with help2man:
#   bash scripts/make_man_page.sh [SETUP_PACKER [OUTPUT]]
# Defaults: the release build's setup_packer and executables/tools/setup_packer/setup_packer.1,
# the page that `cmake --install` installs. Run it again whenever a --help text changes: the ctest
# setup_packer_install fails until the page says what --help says. The page's date is that of the
# last commit (or SOURCE_DATE_EPOCH), so that the same sources give the same page.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packer=$(realpath "${1:-$root/build/release/executables/tools/setup_packer/setup_packer}")
output=${2:-$root/executables/tools/setup_packer/setup_packer.1}
command -v help2man >/dev/null || {
    echo "make_man_page.sh: help2man is missing (apt-get install help2man)" >&2
    exit 1
}

include=$(mktemp)
trap 'rm -f "$include"' EXIT
# Text for roff: a backslash is written \e, and a line beginning with a dot or an apostrophe
# would be a request, so it gets \& in front.
as_roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }
{
    echo "[COMMANDS]"
    for command in build list verify extract; do
        printf '.SS %s\n.nf\n' "$command"
        "$packer" "$command" --help | as_roff
        printf '.fi\n'
    done
    cat <<'TEXT'
[EXIT STATUS]
0 on success; 1 on a failure, with one message on standard error that names the file and the
problem; 2 for a usage error, which names a mistyped command or option with the one it most
likely misspells. Warnings ("setup_packer: warning: ...") change no exit status.
[SEE ALSO]
The README of setup_packer (executables/tools/setup_packer/README.md in its sources) describes the
launcher files, the manifest format and the JSON documents in full.
TEXT
} >"$include"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
help2man --no-info --section=1 --include="$include" \
    --name="build, list, verify and extract setup launcher files" \
    --output="$output" "$packer"
echo "Wrote $output"
