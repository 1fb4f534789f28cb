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
# shellcheck source=../../../../testing/pe_stub.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/pe_stub.sh"
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
    # Bounded: a command that waits (on a pipe, a device) fails instead of hanging the test.
    timeout -k 5 120 "${runner[@]}" "$packer" "$@" >stdout.txt 2>stderr.txt
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
has stdout.txt "at most 191 UTF-16 code units (179 up to its last separator)"
run 0 verify --help
has stdout.txt "--no-progress"
has stdout.txt "its signature is not checked"
has stdout.txt '{"format": 1, "ok"'
run 0 list --help
has stdout.txt '{"format": 1, "launcher"'
run 2
run 2 frobnicate
has stderr.txt "setup_packer: unknown command 'frobnicate'; the commands are build, list, verify, extract"
run 2 --version2
run 1 build --output out.exe --command x.exe
has stderr.txt "no --launcher given, and no i686 launcher is installed beside setup_packer: looked for "
run 2 build --launcher launcher.exe --output out.exe --unknown
run 2 build --launcher launcher.exe --output out.exe --params /x
has stderr.txt "--params must follow the --command it belongs to"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 0x10000
has stderr.txt "--lcid 0x10000: larger than 0xFFFF; give hexadecimal with 0x (0x0407), decimal"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 00
has stderr.txt "--lcid 00: a decimal number with a leading zero; give hexadecimal with 0x (0x0407), decimal without leading zeros (1031) or a language tag (de-DE), from 1 to 0xFFFF"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 0
has stderr.txt "--lcid 0: 0 is no language: the launcher takes it for none"
run 2 build --launcher launcher.exe --output out.exe --command x.exe --lcid 1031 --lcid 1033
has stderr.txt "--lcid is given twice"
run 2 list
run 2 extract setup.exe
[ ! -e out.exe ] || fail "a usage error wrote out.exe"

# --- Build, list, verify, extract -----------------------------------------------------------
write_pe_stub launcher.exe 4096
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
cp setup.exe full.exe

run 0 list setup.exe
names=$(awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $3 }' stdout.txt | tr '\n' ' ')
checks=$((checks + 1))
[ "$names" = "first.txt dätä.txt docs/m.txt msiexec.exe setup.exe win\\empty.bin sub/last.bin " ] ||
    fail "list shows the attachments in the wrong order: $names"
has stdout.txt "0x0407"
has stdout.txt "is_command,has_lcid,quiet"
run 0 list setup.exe --json
has stdout.txt '"name": "dätä.txt"'
has stdout.txt '"parameters": "-q"'
# json_has FILE PYTHON_EXPRESSION: the JSON document in FILE, as d, makes the expression true.
json_has() {
    command -v python3 >/dev/null || return 0
    checks=$((checks + 1))
    python3 -c "import json, sys; d = json.load(open(sys.argv[1])); assert $2, d" "$1" ||
        fail "$1: the JSON document does not satisfy $2"
}
json_has stdout.txt 'd["format"] == 1 and d["launcher"] == "i686" and len(d["attachments"]) == 7 and d["error"] is None'

run 0 verify setup.exe
has stdout.txt "setup.exe: OK: 7 attachments, 300027 bytes of file data, the i686 launcher (PE32)"
run 0 verify setup.exe --json
json_has stdout.txt 'd == {"format": 1, "ok": True, "launcher": "i686", "attachments": 7, "file_bytes": 300027, "certificate_table": None, "ignored": [], "host_aliases": [], "image": {"architecture": "i686", "format": "PE32", "setup_launcher": True, "version_info": None, "icon": None}, "error": None}'

run 0 extract setup.exe -C out
cmp payload/first.txt out/first.txt || fail "first.txt differs"
cmp "payload/dätä.txt" "out/dätä.txt" || fail "dätä.txt differs"
cmp manifest/data/m.txt out/docs/m.txt || fail "docs/m.txt differs"
cmp payload/sub/last.bin out/sub/last.bin || fail "sub/last.bin differs"
[ -f out/win/empty.bin ] && [ ! -s out/win/empty.bin ] || fail "win/empty.bin is missing"
run 1 extract setup.exe -C out
has stderr.txt "already exists"
one_line stderr.txt

# --directory: every file below the tree, named by its path there, in the order of the paths.
run 0 build --launcher launcher.exe --output tree.exe --directory payload=pay --command x.exe
run 0 list tree.exe
names=$(awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $3 }' stdout.txt | tr '\n' ' ')
checks=$((checks + 1))
[ "$names" = "pay/dätä.txt pay/empty.bin pay/first.txt pay/sub/last.bin x.exe " ] ||
    fail "list shows the files of --directory wrongly: $names"
run 0 extract tree.exe -C tree_out
checks=$((checks + 1))
diff -r payload tree_out/pay >/dev/null || fail "the extracted tree differs from payload"
run 1 build --launcher launcher.exe --output tree.exe --directory payload/first.txt
has stderr.txt "payload/first.txt: is not a directory; give a file with --file"
if [ "$windows" -eq 0 ]; then
    mkdir -p odd && mkfifo odd/pipe
    run 1 build --launcher launcher.exe --output odd.exe --directory odd
    has stderr.txt "odd/pipe: is a named pipe, not a regular file; --directory packs regular files"
    rm odd/pipe && printf 'x' >odd/con.txt
    run 1 build --launcher launcher.exe --output odd.exe --directory odd
    has stderr.txt "--directory odd: name 'con.txt': the name uses the Windows device name 'con'"
    [ ! -e odd.exe ] || fail "a refused --directory build wrote odd.exe"
fi

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
long_name=$(printf 'n%.0s' $(seq 192))
run 1 build --launcher launcher.exe --output bad.exe --file "payload/first.txt=$long_name"
has stderr.txt "the name is too long for a Windows path: at most 191 UTF-16 code units"
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
# Entry 4 of a PE32 image's data directories, the certificate table, is at 0x80 + 24 + 96 + 32.
write_pe_stub pe_launcher.exe 2048
entry=$((0x80 + 24 + 96 + 32))
run 0 build --launcher pe_launcher.exe --output signed.exe --file payload/first.txt \
    --command setup.exe
# Signing pads to 8 bytes with zeros and appends the table that the header names.
size=$(wc -c <signed.exe)
table=$(((size + 7) / 8 * 8))
head -c $((table - size)) /dev/zero >>signed.exe
head -c 600 /dev/zero | tr '\0' 'C' >>signed.exe
put_le signed.exe "$entry" "$table" 4
put_le signed.exe $((entry + 4)) 600 4
run 0 verify signed.exe
has stdout.txt "signed.exe: OK: 2 attachments, 6 bytes of file data, the i686 launcher (PE32), a certificate table of 600 bytes at offset $table (its signature is not checked)"
checks=$((checks + 1))
[ "$(wc -l <stdout.txt)" -eq 1 ] || fail "verify reports more than the summary: $(cat stdout.txt)"
run 0 verify signed.exe --json
json_has stdout.txt 'd["ok"] and d["certificate_table"] == {"offset": '"$table"', "size": 600}'
cp pe_launcher.exe signed_launcher.exe
put_le signed_launcher.exe "$entry" 2048 4
put_le signed_launcher.exe $((entry + 4)) 600 4
run 1 build --launcher signed_launcher.exe --output again.exe --command x.exe
has stderr.txt "signed_launcher.exe: is signed"

# An attachment after the table: outside the signed range, named by verify, passed over by list.
write_pe_stub stand_in.bin 1024
run 0 build --launcher stand_in.bin --output hostile.bin --command evil.exe
tail -c +1025 hostile.bin >>signed.exe
size=$(wc -c <signed.exe)
run 0 verify signed.exe
has stdout.txt "signed.exe: ignored: $((size - table - 600)) bytes at offset $((table + 600)) follow the certificate table: they are outside the signed range and ignored"
has stdout.txt "signed.exe: ignored: an attachment signature at offset $((size - 12)) is outside the signed range: the attachments there are ignored"
run 0 list signed.exe
names=$(awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $3 }' stdout.txt | tr '\n' ' ')
checks=$((checks + 1))
[ "$names" = "first.txt setup.exe " ] || fail "list read past the certificate table: $names"

# --- Bytes after the chain that are no certificate table --------------------------------------
# Cut by 10 bytes, the last attachment (read first) loses its signature: verify must not pass
# the rest for a whole file with "data after the chain".
head -c -10 full.exe >cut.exe
run 1 verify cut.exe
has stderr.txt "follow the last attachment, and no PE header names them a certificate table: the launcher passes over them. The file may have been cut short"
one_line stderr.txt
run 1 verify cut.exe --json
json_has stdout.txt 'not d["ok"] and "cut short" in d["error"]'
cp full.exe appended.exe
printf 'appended' >>appended.exe
run 1 verify appended.exe
has stderr.txt "appended.exe: 8 bytes at offset $(($(wc -c <full.exe))) follow the last attachment"

# --- What --launcher and --output must be -------------------------------------------------------
printf 'just text\n' >text.exe
: >empty.exe
write_pe_stub console.exe 1024 0x14C 3
write_pe_stub arm.exe 1024 0x1C4
for launcher in text.exe empty.exe; do
    run 1 build --launcher "$launcher" --output bad.exe --command x.exe
    has stderr.txt "$launcher: is no Windows executable: it does not begin with the \"MZ\" of a DOS header; --launcher takes the setup launcher"
done
run 1 build --launcher console.exe --output bad.exe --command x.exe
has stderr.txt "console.exe: is no Windows GUI program: its subsystem is 3 (console), the launcher's is 2 (Windows GUI)"
run 1 build --launcher arm.exe --output bad.exe --command x.exe
has stderr.txt "arm.exe: is a PE image for the machine 0x01C4, not for i386 (0x014C) or AMD64 (0x8664)"
write_pe_stub amd64.exe 1024 0x8664
run 0 build --launcher amd64.exe --output amd64_packed.exe --command x.exe
# list and verify name the launcher a file carries.
run 0 list amd64_packed.exe
has stdout.txt "amd64_packed.exe: the x86-64 launcher (PE32+)"
run 0 verify amd64_packed.exe
has stdout.txt "amd64_packed.exe: OK: 1 attachment, 0 bytes of file data, the x86-64 launcher (PE32+)"
run 0 list setup.exe
has stdout.txt "setup.exe: the i686 launcher (PE32)"
if [ "$windows" -eq 0 ]; then
    run 1 build --launcher /bin/ls --output bad.exe --command x.exe
    has stderr.txt "/bin/ls: is no Windows executable"

    # Only a regular file is replaced, --force or not; what stands there stays.
    mkfifo pipe.exe
    ln -s setup.exe link.exe
    for output in pipe.exe link.exe; do
        run 1 build --launcher launcher.exe --output "$output" --force --command x.exe
        has stderr.txt "the output must be a regular file or not exist"
    done
    has stderr.txt "link.exe: is a symbolic link, not a regular file"
    [ -p pipe.exe ] && [ -L link.exe ] || fail "a refused output was replaced"
    if mknod device.exe c 1 3 2>/dev/null; then
        run 1 build --launcher launcher.exe --output device.exe --force --command x.exe
        has stderr.txt "device.exe: is a character device, not a regular file"
        [ -c device.exe ] || fail "the character device was replaced"
    fi
fi
checks=$((checks + 1))
[ -z "$(ls -A | grep -E '^bad\.exe|\.partial$')" ] || fail "a refused build left $(ls -A | grep -E 'bad|partial')"

# --- Manifests: duplicate keys and numbers out of range ------------------------------------------
printf '{"attachments": [{"command": "a.exe"}, {"file": "a", "file": "b"}]}' >dup.json
run 1 build --launcher launcher.exe --output bad.exe --manifest dup.json
has stderr.txt "dup.json:1:40: attachment 2: the key \"file\" appears twice"
printf '{"attachments": [{"command": "x", "lcid": 1e400}]}' >huge.json
run 1 build --launcher launcher.exe --output bad.exe --manifest huge.json
has stderr.txt "huge.json: a number is out of range: number overflow parsing '1e400'"
one_line stderr.txt
printf '{"attachments": [{"command": "x", "lcid": 0}]}' >zero.json
run 1 build --launcher launcher.exe --output bad.exe --manifest zero.json
has stderr.txt "zero.json:1:18: attachment 1: \"lcid\": 0: 0 is no language"

# --- Mistyped commands and options are named, with the closest valid one ------------------------
# usage_case EXPECTED_MESSAGE ARGS...: a usage error (exit code 2) with that message.
usage_case() {
    local message=$1
    shift
    run 2 "$@"
    has stderr.txt "setup_packer: $message"
}
usage_case "build: unknown option '--lauchner'; did you mean '--launcher'?" \
    build --lauchner launcher.exe --output out.exe --command x.exe
usage_case "extract: unknown option '-o'; the options are -h/--help, -C/--directory, --overwrite, --quiet, --no-progress" \
    extract setup.exe -o out
usage_case "extract: unknown option '--quite'; did you mean '--quiet'?" extract setup.exe -C out --quite
usage_case "build: unknown option '--dir'; did you mean '--directory'?" \
    build --launcher launcher.exe --output out.exe --dir payload
usage_case "unknown command 'bulid'; did you mean 'build'? The commands are build, list, verify, extract" \
    bulid --launcher launcher.exe
usage_case "unknown option '--verbose'; the options are -h/--help, --version" --verbose list setup.exe
usage_case "list: unknown option '--jsno'; did you mean '--json'?" list setup.exe --jsno
[ ! -e out.exe ] || fail "a usage error wrote out.exe"

# --- Languages: 0x0407, 1031 and de-DE; a hexadecimal number without its 0x is named -------------
# lcid_case CODE TEXT EXPECTED: --lcid TEXT exits with CODE; its message, or with 0 the language
# that list shows, is EXPECTED.
lcid_case() {
    run "$1" build --launcher launcher.exe --output lcid.exe --force --command x.exe --lcid "$2"
    if [ "$1" -eq 0 ]; then
        run 0 list lcid.exe
        has stdout.txt "$3"
    else
        has stderr.txt "setup_packer: --lcid $2: $3"
    fi
}
lcid_case 0 0x0407 "0x0407"
lcid_case 0 1031 "0x0407"
lcid_case 0 de-DE "0x0407"
lcid_case 0 en-gb "0x0809"
lcid_case 2 407 "did you mean 0x0407 (de-DE)?"
lcid_case 2 0407 "did you mean 0x0407 (de-DE)?"
lcid_case 2 de_AT "did you mean de-AT (0x0C07)?"
lcid_case 2 xx-YY "no Windows language that setup_packer knows has the tag xx-YY"
run 0 build --launcher launcher.exe --output lcid.exe --force --command x.exe --lcid 0x1234
has stderr.txt "setup_packer: warning: --lcid 0x1234: 0x1234 is no Windows language that setup_packer knows"
printf '{"attachments": [{"command": "a.exe", "lcid": "de-CH"},\n  {"command": "b.exe", "lcid": 407}]}' >lcid.json
run 1 build --launcher launcher.exe --output lcid.exe --force --manifest lcid.json
has stderr.txt 'lcid.json:2:3: attachment 2: "lcid": 407: did you mean 0x0407 (de-DE)?'

# --- A build without attachments does nothing: refused unless asked for ------------------------
printf '{"attachments": []}' >empty.json
mkdir -p empty_tree
for attachments in "" "--manifest empty.json" "--directory empty_tree"; do
    # shellcheck disable=SC2086  # the options' words
    run 1 build --launcher launcher.exe --output nothing.exe $attachments
    has stderr.txt "nothing.exe: no attachments to pack: give --file, --directory, --command or a --manifest with entries, or --allow-empty"
    [ ! -e nothing.exe ] || fail "an empty build ($attachments) wrote nothing.exe"
done
run 0 build --launcher launcher.exe --output nothing.exe --manifest empty.json --allow-empty
cmp -s launcher.exe nothing.exe || fail "--allow-empty did not write the bare launcher"
run 0 verify nothing.exe
has stdout.txt "nothing.exe: no attachments"

# --- list: columns by display width, controls escaped; a file cut short; no launcher file -------
# CJK and emoji names (packed as "aXb" placeholders of the same byte length, then patched in
# UTF-16) and a name with a C1 control: every row's parameters start in the same column.
run 0 build --launcher launcher.exe --output wide.exe --command "plain.exe" --params "|P|" \
    --command "$(printf '\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.exe')" --params "|P|" \
    --command "$(printf 'emoji\xf0\x9f\x98\x80.exe')" --params "|P|" \
    --command "$(printf 'e\xcc\x81.exe')" --params "|P|" \
    --command "$(printf 'csi\xc2\x9b2J.exe')" --params "|P|"
run 0 list wide.exe
if command -v python3 >/dev/null; then
    # The columns each row's text takes before "|P|", as a terminal counts them.
    columns=$(python3 -c '
import sys, unicodedata as u
for line in open(sys.argv[1], encoding="utf-8"):
    if "|P|" in line:
        prefix = line.split("|P|")[0]
        print(sum(0 if u.combining(c) else 2 if u.east_asian_width(c) in "WF" else 1 for c in prefix))
' stdout.txt | sort -u | wc -l)
    checks=$((checks + 1))
    [ "$columns" -eq 1 ] || fail "list's rows do not line up: $(cat stdout.txt)"
fi
has stdout.txt 'csi\u009B2J.exe'
checks=$((checks + 1))
! grep -q "$(printf '\xc2\x9b')" stdout.txt || fail "list wrote a raw U+009B to the terminal"
head -c -10 full.exe >cut.exe
for command in list verify; do
    run 1 "$command" cut.exe
    has stderr.txt "cut.exe: 47 bytes at offset"
    has stderr.txt "follow the last attachment, and no PE header names them a certificate table"
    one_line stderr.txt
done
printf '{"attachments": []}\n' >setup.json
for command in "list setup.json" "verify setup.json" "extract setup.json -C not_out" "list setup.json --json"; do
    # shellcheck disable=SC2086  # the command's words
    run 1 $command
    has stderr.txt "setup.json: not a launcher file: it does not begin with a Windows program"
done
json_has stdout.txt 'd["attachments"] == [] and d["launcher"] is None and "not a launcher file" in d["error"]'
[ ! -e not_out ] || fail "extract of no launcher file made its directory"
run 0 list launcher.exe
has stdout.txt "launcher.exe: no attachments"

# --- extract --quiet and --overwrite --------------------------------------------------------------
# The separator of the paths that setup_packer joins.
separator=/
[ "$windows" -eq 0 ] || separator="\\"
run 0 extract full.exe -C quiet_out --quiet
checks=$((checks + 1))
[ ! -s stdout.txt ] || fail "extract --quiet printed $(cat stdout.txt)"
cmp payload/first.txt quiet_out/first.txt || fail "extract --quiet did not write first.txt"
printf 'mine' >quiet_out/first.txt
run 1 extract full.exe -C quiet_out
has stderr.txt "quiet_out${separator}first.txt: already exists; use --overwrite to replace it"
run 0 extract full.exe -C quiet_out --overwrite
cmp payload/first.txt quiet_out/first.txt || fail "--overwrite did not replace first.txt"
has stdout.txt "quiet_out${separator}sub${separator}last.bin"

# --- Manifests: FILE:LINE:COLUMN, the directory relative paths come from, escaped keys, NUL ------
mkdir -p where/data
printf '{"attachments": [\n  {"file": "data/m.txt"},\n  {"file": "data/missing.txt", "name": "x.txt"}\n]}\n' >where/setup.json
printf 'm\n' >where/data/m.txt
run 1 build --launcher launcher.exe --output bad.exe --manifest where/setup.json
has stderr.txt "setup_packer: where${separator}data/missing.txt: can't open: No such file or directory (where/setup.json:3:3: attachment 2: a relative \"file\" is taken from the manifest's directory, where)"
printf '{"attachments": [\n  {"file": "data/m.txt", "name": "bad:name"}]}' >where/badname.json
run 1 build --launcher launcher.exe --output bad.exe --manifest where/badname.json
has stderr.txt "setup_packer: where/badname.json:2:3: attachment 1: name 'bad:name': the name contains ':'"
# JSON escapes: the keys hold ESC and BEL once read.
cat >where/keys.json <<'EOF'
{"attachments": [{"command": "x", "\u001b[31m\u0007": 1}],
 "\u001b]0;t\u0007": 2}
EOF
run 1 build --launcher launcher.exe --output bad.exe --manifest where/keys.json
has stderr.txt "where/keys.json:2:2: unknown key '\\x1B]0;t\\x07' at the top level"
cat >where/keys.json <<'EOF'
{"attachments": [{"command": "x", "\u001b[31m": 1, "\u001b[31m": 2}]}
EOF
run 1 build --launcher launcher.exe --output bad.exe --manifest where/keys.json
has stderr.txt "where/keys.json:1:18: attachment 1: the key \"\\x1B[31m\" appears twice"
checks=$((checks + 1))
! grep -q "$(printf '\x1b')" stderr.txt || fail "a manifest's key reached the terminal raw"
printf '{"attachments": [{"command": "x"}]}\0{"attachments": [{"command": "y"}]}' >where/with_nul.json
run 1 build --launcher launcher.exe --output bad.exe --manifest where/with_nul.json
has stderr.txt "where/with_nul.json:1:36: a NUL byte, which JSON text can't hold"

# --- A command for language 0, made by hand: verify fails, list marks it ------------------------
run 0 build --launcher launcher.exe --output zero.exe --command de.exe --lcid 0x0407
offset=$(grep -obUaP '\x07\x04d\x00e\x00' zero.exe | head -n 1 | cut -d: -f1)
put_le zero.exe "$offset" 0 2
run 1 verify zero.exe
has stderr.txt "zero.exe: attachment 1 'de.exe': a command for language 0, which the launcher takes for a cancelled choice: it never runs"
run 0 list zero.exe
has stdout.txt "0x0000 (never runs)"
run 0 list zero.exe --json
json_has stdout.txt 'd["attachments"][0]["never_runs"] is True'

# --- Names that Windows keeps apart but this system can't: unpaired surrogates -----------------
# Packed as "xA.t" and "xB.t", then the letters patched to U+D800 and U+D801: both become
# "x\uFFFD.t" in a UTF-8 name.
printf 'one' >payload/one.txt
printf 'two' >payload/two.txt
run 0 build --launcher launcher.exe --output alias.exe --file payload/one.txt=xA.t --file payload/two.txt=xB.t
for patch in A:0xD800 B:0xD801; do
    offset=$(grep -obUaP "x\\x00${patch%%:*}\\x00\\.\\x00t\\x00" alias.exe | head -n 1 | cut -d: -f1)
    put_le alias.exe $((offset + 2)) $((${patch#*:})) 2
done
run 0 verify alias.exe
has stdout.txt "alias.exe: OK: 2 attachments"
has stdout.txt "note: alias.exe: attachment 2 'x$(printf '\xef\xbf\xbd').t': on this system its name becomes"
run 1 extract alias.exe -C alias_out
has stderr.txt "alias.exe: attachment 2 'x$(printf '\xef\xbf\xbd').t': can't be extracted here"
[ ! -e alias_out ] || fail "extract wrote before it found the names that meet here: $(ls -R alias_out)"

# --- Names from a file reach the terminal with their control characters escaped ---------------
# A name with ESC (packed as "aXb.txt", then patched): refused, and shown as \x1B. Another with
# the C1 control U+009B, which the launcher extracts: its corrupted data names it as \u009B.
run 0 build --launcher launcher.exe --output escape.exe --file payload/first.txt=aXb.txt \
    --file "payload/first.txt=c$(printf '\xc2\x9b')d.txt"
offset=$(grep -obUaP 'a\x00X\x00b\x00' escape.exe | head -n 1 | cut -d: -f1)
put_le escape.exe $((offset + 2)) $((0x1B)) 1
for command in verify "extract escape.exe -C escape_out"; do
    # shellcheck disable=SC2086  # the command's words
    run 1 ${command/#verify/verify escape.exe}
    has stderr.txt "invalid file name 'a\\x1Bb.txt': the name contains the control character U+001B"
    checks=$((checks + 1))
    ! grep -q "$(printf '\x1b')" stderr.txt || fail "$command wrote a raw ESC to the terminal"
done
offset=$(grep -obUaP 'a\x00\x1b\x00b\x00' escape.exe | head -n 1 | cut -d: -f1)
put_le escape.exe $((offset + 2)) $((0x58)) 1
printf 'X' | dd of=escape.exe bs=1 seek=4096 conv=notrunc status=none
run 1 verify escape.exe
has stderr.txt "file 'c\\u009Bd.txt' is corrupted"
checks=$((checks + 1))
! grep -q "$(printf '\xc2\x9b')" stderr.txt || fail "verify wrote a raw U+009B to the terminal"

if [ "$windows" -eq 0 ]; then
    # --- extract follows no symbolic link below its directory ------------------------------------
    mkdir -p linked/elsewhere linked/out
    ln -s ../elsewhere linked/out/sub
    run 1 extract full.exe -C linked/out
    has stderr.txt "linked/out/sub: is a symbolic link; extract follows no links inside linked/out"
    one_line stderr.txt
    checks=$((checks + 1))
    [ -z "$(ls -A linked/elsewhere)" ] && [ ! -e linked/out/first.txt ] ||
        fail "extract wrote through a link or before checking: $(ls -A linked/elsewhere linked/out)"

    # --- Only regular files are packed, and list and verify wait on no pipe or device -----------
    mkfifo special_pipe
    printf '{"attachments": [{"file": "special_pipe"}]}' >special.json
    for source in "--file special_pipe" "--file /dev/zero" "--manifest special.json"; do
        # shellcheck disable=SC2086  # the option's words
        run 1 build --launcher launcher.exe --output special.exe --command x.exe $source
        has stderr.txt ", not a regular file; only regular files are packed"
        [ ! -e special.exe ] || fail "a build from $source wrote special.exe"
    done
    has stderr.txt "special_pipe: is a named pipe, not a regular file"
    run 1 build --launcher special_pipe --output special.exe --command x.exe
    has stderr.txt "special_pipe: is a named pipe, not a regular file"
    for file in special_pipe /dev/zero; do
        for command in list verify; do
            run 1 "$command" "$file"
            has stderr.txt ", not a regular file"
        done
    done

    # --- No fatal signal leaves a partial file; a file size limit is a write error -------------
    # The build packs a sparse file of 4 GiB and the extraction a setup file holding 1 GiB of
    # zeros in its sparse data: each is stopped once its partial file exists, gets the signal and
    # goes on to receive it. env restores the default actions that a background job would have
    # ignored (SIGINT, SIGQUIT).
    truncate -s 4G sparse.bin
    # The setup file: the header of an empty "big.bin" behind 1 GiB of holes, its size and
    # checksum (the Adler-32 of zeros) patched in.
    : >empty.bin
    run 0 build --launcher launcher.exe --output holey.exe --file empty.bin=big.bin
    header=$(($(wc -c <holey.exe) - 4096))
    head -c 4096 launcher.exe >holey_data.exe
    truncate -s $((4096 + (1 << 30))) holey_data.exe
    tail -c "$header" holey.exe >>holey_data.exe
    fixed=$((4096 + (1 << 30) + 2 * 7))
    put_le holey_data.exe $((fixed + 4)) $((1 << 30)) 8
    put_le holey_data.exe $((fixed + 12)) $(((((1 << 30) % 65521) << 16) | 1)) 4
    run 0 list holey_data.exe
    has stdout.txt "1073741824"
    # interrupt SIGNAL DIR ARGS...: runs setup_packer ARGS in the background, stops it once a
    # partial file exists in DIR, sends SIGNAL and lets it go on; sets code and seen.
    interrupt() {
        local signal=$1 dir=$2 pid
        shift 2
        mkdir -p "$dir"
        env --default-signal="$signal" "$packer" "$@" >/dev/null 2>&1 &
        pid=$!
        seen=0
        for _ in $(seq 3000); do
            if compgen -G "$dir/*.partial" >/dev/null; then
                kill -STOP "$pid" && seen=1
                break
            fi
            sleep 0.01
        done
        kill -s "$signal" "$pid"
        kill -CONT "$pid"
        # bash's note of a job that a signal ended goes nowhere.
        { wait "$pid"; } 2>/dev/null
        code=$?
    }
    for signal in HUP INT QUIT TERM USR1 ALRM XCPU; do
        for operation in build extract; do
            dir=signalled_${operation}_$signal
            if [ "$operation" = build ]; then
                interrupt "$signal" "$dir" build --launcher launcher.exe --output "$dir/setup.exe" \
                    --file sparse.bin
            else
                interrupt "$signal" "$dir" extract holey_data.exe -C "$dir"
            fi
            checks=$((checks + 2))
            [ "$seen" -eq 1 ] || fail "$operation: no partial file appeared before SIG$signal"
            expected=$((128 + $(kill -l "$signal")))
            [ "$code" -eq "$expected" ] ||
                fail "$operation ended by SIG$signal exited with $code, not $expected"
            checks=$((checks + 1))
            [ -z "$(ls -A "$dir")" ] || fail "$operation ended by SIG$signal left $(ls -A "$dir")"
        done
    done
    rm -f sparse.bin holey.exe empty.bin
    # With SIGXFSZ ignored, a write past `ulimit -f` (in KiB) fails and is reported as such.
    mkdir -p limited
    for operation in build extract; do
        (
            ulimit -f 1024
            if [ "$operation" = build ]; then
                "$packer" build --launcher launcher.exe --output limited/setup.exe \
                    --file payload/sub/last.bin --file holey_data.exe=more.bin
            else
                "$packer" extract holey_data.exe -C limited
            fi
        ) >stdout.txt 2>stderr.txt
        code=$?
        checks=$((checks + 2))
        [ "$code" -eq 1 ] || fail "$operation past the file size limit exited with $code, not 1"
        has stderr.txt "can't write: File too large"
        [ -z "$(ls -A limited)" ] || fail "$operation past the file size limit left $(ls -A limited)"
    done
    rm -f holey_data.exe

    # --- The progress bar ends its line before anything else is written --------------------------
    if command -v script >/dev/null; then
        truncate -s 65M big.bin
        run 0 build --launcher launcher.exe --output big.exe --file big.bin --no-progress
        script -qec "'$packer' verify big.exe" /dev/null >tty.txt
        has tty.txt "MiB of 65.0 MiB"
        checks=$((checks + 1))
        tr '\r' '\n' <tty.txt | grep -q '^big.exe: OK: 1 attachment' ||
            fail "the result does not start a line of its own: $(tr '\r' '|' <tty.txt)"
        script -qec "'$packer' verify big.exe --no-progress" /dev/null >tty.txt
        checks=$((checks + 1))
        ! grep -q "MiB of" tty.txt || fail "--no-progress showed a bar: $(cat tty.txt)"
        rm -f big.bin big.exe
    fi
fi

echo "setup_packer CLI: $checks checks, $failures failures"
[ "$failures" -eq 0 ]
