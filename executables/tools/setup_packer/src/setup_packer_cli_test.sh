#!/usr/bin/env bash
# End-to-end runs of the built setup_packer: exit codes (0 success, 1 failure, 2 usage) and the
# messages a user sees.
# Usage: setup_packer_cli_test.sh SETUP_PACKER            (the native build)
#        setup_packer_cli_test.sh SETUP_PACKER.exe --wine BUILD_DIR  (the Windows build, under Wine)
# PRODUCT_VERSION in the environment is the version that --version must report (project()).
set -u
version=${PRODUCT_VERSION:?the product version, as project() in CMakeLists.txt sets it}
packer=$(realpath "$1")
runner=()
windows=0
if [ "${2:-}" = "--wine" ]; then
    # A console program needs no display. The UTF-8 locale makes Wine pass non-ASCII arguments
    # and file names through unchanged.
    # shellcheck source=../../../../testing/wine/wine_env.sh
    source "$(dirname "$0")/../../../../testing/wine/wine_env.sh"
    export LC_ALL=C.UTF-8
    wine_env_init "$3" || exit 1
    runner=(wine)
    windows=1
fi
work=$(mktemp -d)
cleanup() {
    local status=$?
    cd / && rm -rf "$work"
    [ "$windows" -eq 0 ] || wine_env_cleanup
    return "$status"
}
trap cleanup EXIT
cd "$work" || exit 1

checks=0
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run CODE ARGS...: runs setup_packer, keeps stdout.txt and stderr.txt, checks the exit code.
run() {
    local expected=$1
    shift
    "${runner[@]}" "$packer" "$@" >stdout.txt 2>stderr.txt
    local code=$?
    checks=$((checks + 1))
    if [ "$code" -ne "$expected" ]; then
        fail "setup_packer $* exited with $code, expected $expected"
        sed 's/^/  stderr: /' stderr.txt
    fi
}

# has FILE TEXT: the file holds the text.
has() {
    checks=$((checks + 1))
    if ! grep -qF -- "$2" "$1"; then
        fail "$1 lacks '$2'"
        sed "s/^/  $1: /" "$1"
    fi
}

# one_line FILE: a failure message is exactly one line.
one_line() {
    checks=$((checks + 1))
    [ "$(wc -l <"$1")" -eq 1 ] || fail "$1 has more than one line: $(cat "$1")"
}

# --- Help, version, usage errors ------------------------------------------------------------
run 0 --help
has stdout.txt "build"
has stdout.txt "extract"
run 0 --version
has stdout.txt "setup_packer $version"
for command in build list verify extract; do
    run 0 "$command" --help
done
run 0 build --help
has stdout.txt '"in_extraction_dir"'
has stdout.txt "at most 199 UTF-16 code units (187 up to its last separator)"
run 2
run 2 frobnicate
run 2 build --output out.exe
run 2 build --launcher launcher.exe --output out.exe --unknown
run 2 build --launcher launcher.exe --output out.exe --params /x
has stderr.txt "--params must follow the --command it belongs to"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 0x10000
has stderr.txt "--lcid 0x10000: not a language identifier"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 1031 --lcid 1033
has stderr.txt "--lcid is given twice"
run 2 list
run 2 extract setup.exe
[ ! -e out.exe ] || fail "a usage error wrote out.exe"

# --- Build, list, verify, extract -----------------------------------------------------------
yes launcher | head -c 4096 >launcher.exe
mkdir -p payload/sub manifest/data
printf 'first\n' >payload/first.txt
printf 'umlaut\n' >"payload/dätä.txt"
: >payload/empty.bin
head -c 300000 /dev/urandom >payload/sub/last.bin
printf 'from manifest\n' >manifest/data/m.txt
cat >manifest/setup.json <<'EOF'
{"attachments": [
  {"file": "data/m.txt", "name": "docs/m.txt"},
  {"command": "msiexec.exe", "params": "/p update.msp", "in_extraction_dir": true}
]}
EOF
run 0 build --launcher launcher.exe --output setup.exe \
    --file payload/first.txt --file "payload/dätä.txt" --manifest manifest/setup.json \
    --command setup.exe --params=-q --lcid 0x0407 --quiet \
    --file payload/empty.bin=win\\empty.bin --file payload/sub/last.bin=sub/last.bin
cmp -n 4096 launcher.exe setup.exe || fail "setup.exe does not begin with the launcher"

run 0 list setup.exe
names=$(awk 'NR > 1 { print $3 }' stdout.txt | tr '\n' ' ')
checks=$((checks + 1))
[ "$names" = "first.txt dätä.txt docs/m.txt msiexec.exe setup.exe win\\empty.bin sub/last.bin " ] ||
    fail "list shows the attachments in the wrong order: $names"
has stdout.txt "0x0407"
has stdout.txt "is_command,has_lcid,quiet"
run 0 list setup.exe --json
has stdout.txt '"name": "dätä.txt"'
has stdout.txt '"parameters": "-q"'
if command -v python3 >/dev/null; then
    checks=$((checks + 1))
    python3 -c 'import json, sys; a = json.load(sys.stdin); assert len(a) == 7, a' <stdout.txt ||
        fail "list --json is no JSON array of 7 objects"
fi

run 0 verify setup.exe
has stdout.txt "setup.exe: OK: 7 attachments, 300027 bytes of file data"

run 0 extract setup.exe -C out
cmp payload/first.txt out/first.txt || fail "first.txt differs"
cmp "payload/dätä.txt" "out/dätä.txt" || fail "dätä.txt differs"
cmp manifest/data/m.txt out/docs/m.txt || fail "docs/m.txt differs"
cmp payload/sub/last.bin out/sub/last.bin || fail "sub/last.bin differs"
[ -f out/win/empty.bin ] && [ ! -s out/win/empty.bin ] || fail "win/empty.bin is missing"
run 1 extract setup.exe -C out
has stderr.txt "already exists"
one_line stderr.txt

run 0 list launcher.exe
has stdout.txt "no attachments"
run 0 verify launcher.exe
has stdout.txt "no attachments"

# --- Refusals -----------------------------------------------------------------------------------
cp setup.exe before.exe
run 1 build --launcher launcher.exe --output setup.exe --file payload/first.txt
has stderr.txt "setup_packer: setup.exe: already exists; use --force to replace it"
one_line stderr.txt
cmp setup.exe before.exe || fail "a refused build changed setup.exe"
run 0 build --launcher launcher.exe --output setup.exe --force --file payload/first.txt
run 0 verify setup.exe
has stdout.txt "OK: 1 attachment, 6 bytes of file data"

run 1 build --launcher before.exe --output again.exe --command x.exe
has stderr.txt "before.exe: holds the attachment signature at offset"
run 1 build --launcher launcher.exe --output bad.exe --file payload/first.txt=../up.txt
has stderr.txt "name '../up.txt'"
run 1 build --launcher launcher.exe --output bad.exe --file payload/first.txt=docs/Con.txt
has stderr.txt "name 'docs/Con.txt': the name uses the Windows device name 'Con'"
one_line stderr.txt
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=AUX .txt"
has stderr.txt "name 'AUX .txt': the name uses the Windows device name 'AUX'"
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=notes. /a.txt"
has stderr.txt "the component 'notes. ' ends in a dot or a space, which Windows drops"
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=a:b"
has stderr.txt "the name contains ':'"
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=a?b"
has stderr.txt "the name contains '?', which Windows does not allow in file names"
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=$(printf 'tab\there')"
has stderr.txt "the name contains the control character U+0009"
long_name=$(printf 'n%.0s' $(seq 200))
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=$long_name"
has stderr.txt "the name is too long for a Windows path: at most 199 UTF-16 code units"
run 0 build --launcher launcher.exe --output long.exe --file "payload/first.txt=${long_name%n}"
run 1 build --launcher launcher.exe --output bad.exe --file payload/missing.txt
has stderr.txt "payload/missing.txt: can't open"
one_line stderr.txt
if [ "$windows" -eq 0 ]; then
    # A read error after the temporary output exists: the kernel refuses to read this file.
    run 1 build --launcher launcher.exe --output bad.exe --file /proc/self/mem=mem.bin
    has stderr.txt "/proc/self/mem: can't read"
fi
checks=$((checks + 1))
[ -z "$(ls -A | grep -E '^bad\.exe')" ] || fail "a failed build left $(ls -A | grep bad.exe)"
run 1 list payload/missing.txt
has stderr.txt "can't open"

# A flipped byte in the data written first (that of the attachment read last) names it.
printf '\x00' | dd of=before.exe bs=1 seek=4100 count=1 conv=notrunc status=none
cmp -s before.exe setup.exe && fail "the byte flip did not change anything"
run 1 verify before.exe
has stderr.txt "before.exe: attachment 7: file 'sub/last.bin' is corrupted: checksum 0x"
one_line stderr.txt
run 1 extract before.exe -C bad_out
has stderr.txt "attachment 7: file 'sub/last.bin' is corrupted"
checks=$((checks + 1))
[ -z "$(ls -A bad_out/sub 2>/dev/null)" ] || fail "a corrupted file was left: $(ls -A bad_out/sub)"

# --- Signed launcher files: only the range up to the certificate table is read --------------
# put FILE OFFSET VALUE BYTES: a little-endian number into a file.
put() {
    local escapes="" i
    for ((i = 0; i < $4; i++)); do escapes+=$(printf '\\x%02x' $(($3 >> (8 * i) & 255))); done
    # shellcheck disable=SC2059  # the escapes are the format
    printf "$escapes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# A PE32 launcher image: "PE\0\0" at 0x80, an optional header of 224 bytes with 16 data
# directories; entry 4, the certificate table, is at 0x80 + 24 + 96 + 32.
head -c 2048 /dev/zero >pe_launcher.exe
put pe_launcher.exe 0 $((0x5A4D)) 2
put pe_launcher.exe $((0x3C)) $((0x80)) 4
put pe_launcher.exe $((0x80)) $((0x4550)) 4
put pe_launcher.exe $((0x80 + 20)) 224 2
put pe_launcher.exe $((0x80 + 24)) $((0x10B)) 2
put pe_launcher.exe $((0x80 + 24 + 92)) 16 4
entry=$((0x80 + 24 + 96 + 32))
run 0 build --launcher pe_launcher.exe --output signed.exe --file payload/first.txt \
    --command setup.exe
# Signing pads to 8 bytes and appends the table that the header names.
size=$(wc -c <signed.exe)
table=$(((size + 7) / 8 * 8))
head -c $((table - size)) /dev/zero >>signed.exe
head -c 600 /dev/zero | tr '\0' 'C' >>signed.exe
put signed.exe "$entry" "$table" 4
put signed.exe $((entry + 4)) 600 4
run 0 verify signed.exe
has stdout.txt "signed.exe: OK: 2 attachments, 6 bytes of file data, signed (certificate table of 600 bytes at offset $table)"
checks=$((checks + 1))
[ "$(wc -l <stdout.txt)" -eq 1 ] || fail "verify reports more than the summary: $(cat stdout.txt)"
cp pe_launcher.exe signed_launcher.exe
put signed_launcher.exe "$entry" 2048 4
put signed_launcher.exe $((entry + 4)) 600 4
run 1 build --launcher signed_launcher.exe --output again.exe --command x.exe
has stderr.txt "signed_launcher.exe: is signed"

# An attachment after the table: outside the signed range, named by verify, passed over by list.
printf 'stand-in' >stand_in.bin
run 0 build --launcher stand_in.bin --output hostile.bin --command evil.exe
tail -c +9 hostile.bin >>signed.exe
size=$(wc -c <signed.exe)
run 0 verify signed.exe
has stdout.txt "signed.exe: ignored: $((size - table - 600)) bytes at offset $((table + 600)) follow the certificate table: they are outside the signed range and ignored"
has stdout.txt "signed.exe: ignored: an attachment signature at offset $((size - 12)) is outside the signed range: the attachments there are ignored"
run 0 list signed.exe
names=$(awk 'NR > 1 { print $3 }' stdout.txt | tr '\n' ' ')
checks=$((checks + 1))
[ "$names" = "first.txt setup.exe " ] || fail "list read past the certificate table: $names"

echo "setup_packer CLI: $checks checks, $failures failures"
[ "$failures" -eq 0 ]
