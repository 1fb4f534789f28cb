#!/usr/bin/env bash
# Only the signed range of a launcher file is payload, under Wine with the real launcher: a file
# packed and then signed with a throwaway certificate runs its own command, also when an
# attachment is appended after the certificate table or slipped inside the table with its lengths
# enlarged, which leaves the signature as Windows judges it. An unsigned file still reads from its
# end, stepping over trailing data.
#
#   signed_range_test.sh BUILD_DIR SETUP_LAUNCHER_EXE SETUP_PACKER_EXE RECORD_COMMAND_TEST_EXE
set -uo pipefail

build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?setup_launcher.exe}")
packer=$(realpath "${3:?setup_packer.exe}")
recorder=$(realpath "${4:?record_command_test.exe}")
# shellcheck source=../../../../testing/wine/wine_env.sh
source "$(dirname "$0")/../../../../testing/wine/wine_env.sh"

for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null || {
        echo "missing: $tool" >&2
        exit 1
    }
done
wine_test_start "$build_dir" en_US.UTF-8 || exit 1
work=$(mktemp -d "$build_dir/signed_range_test.XXXXXX") || exit 1
cd "$work" || exit 1

# shellcheck source=/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/checks.sh"
# shellcheck source=../../../../testing/pe_stub.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/pe_stub.sh"

# Little-endian numbers in a file: read_u32 FILE OFFSET, write_u32 FILE OFFSET VALUE.
read_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
write_u32() {
    local escapes
    escapes=$(printf '\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) \
        $(($3 >> 24 & 255)))
    # shellcheck disable=SC2059  # the escapes are the format
    printf "$escapes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# The file offset of the security data directory entry (PE32: 96 bytes into the optional header
# come the data directories, the certificate table is the fifth).
security_entry() {
    local pe
    pe=$(read_u32 "$1" 60)
    echo $((pe + 24 + 96 + 4 * 8))
}

# The Windows build of setup_packer; its console output ends lines with CR LF.
packer() { timeout 120 wine "$packer" "$@" 2>>"$work/wine.log" | tr -d '\r'; }

# ---- The payload: the recorder, extracted and run from the extraction directory ----

cp "$launcher" setup_launcher.exe
cp "$recorder" rec.exe
export RECORD_COMMAND_LOG RECORD_COMMAND_APPEND=1
RECORD_COMMAND_LOG=$(unix_to_wine_path "$work/commands.log")
packer build --launcher setup_launcher.exe --output packed.exe --file rec.exe \
    --command rec.exe --params original --in-extraction-dir >/dev/null
check "packed" 0 $?

# The attachment an attacker would add: the recorder, run from the launcher's directory. Packed
# behind a stand-in for a launcher and cut off from it.
write_pe_stub stand_in.bin 512
packer build --launcher stand_in.bin --output hostile_packed.bin --command rec.exe \
    --params hostile >/dev/null
tail -c +513 hostile_packed.bin >hostile.bin
hostile_size=$(stat -c %s hostile.bin)

# ---- Signing ----

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Throwaway test signer" >/dev/null 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n "Signed range test" -in packed.exe \
    -out signed.exe >/dev/null
check "signed" 0 $?
osslsigncode verify -CAfile cert.pem -in signed.exe >/dev/null 2>&1
check "the signature verifies" 0 $?
entry=$(security_entry signed.exe)
table=$(read_u32 signed.exe "$entry")
table_size=$(read_u32 signed.exe $((entry + 4)))
echo "certificate table: $table_size bytes at offset $table of $(stat -c %s signed.exe)"
check "the table follows the packed file (padded to 8 bytes)" $(((($(stat -c %s packed.exe) + 7) / 8) * 8)) "$table"

# (a) An attachment appended after the certificate table.
cp signed.exe after.exe
cat hostile.bin >>after.exe

# (b) The same attachment inside the table: WIN_CERTIFICATE's dwLength and the directory's size
# grow by it, padded to 8 bytes as signing pads.
cp signed.exe inside.exe
cat hostile.bin >>inside.exe
padding=$(((8 - hostile_size % 8) % 8))
head -c "$padding" /dev/zero >>inside.exe
grown=$((hostile_size + padding))
write_u32 inside.exe $((entry + 4)) $((table_size + grown))
write_u32 inside.exe "$table" $(($(read_u32 inside.exe "$table") + grown))
check "inside: the table now reaches the file's end" "$(stat -c %s inside.exe)" \
    $(($(read_u32 inside.exe "$entry") + $(read_u32 inside.exe $((entry + 4)))))

# (c) Unsigned, with trailing data; and unsigned with the attachment appended, which the launcher
# reads as it always has: from the file's end.
cp packed.exe trailing.exe
head -c 6000 /dev/urandom >>trailing.exe
cp packed.exe unsigned_after.exe
cat hostile.bin >>unsigned_after.exe

# setup_packer verify reports what lies outside the signed range.
out=$(packer verify after.exe)
check "verify after: exit code" 0 $?
printf '%s\n' "$out"
check "verify after: the bytes after the table" \
    "after.exe: ignored: $hostile_size bytes at offset $((table + table_size)) follow the certificate table: they are outside the signed range and ignored" \
    "$(grep -F 'follow the certificate table' <<<"$out")"
out=$(packer verify inside.exe)
check "verify inside: only the attachment signature in the table" \
    "inside.exe: ignored: an attachment signature at offset $(($(stat -c %s inside.exe) - padding - 12)) is outside the signed range: the attachments there are ignored" \
    "$(grep -F 'ignored:' <<<"$out")"
out=$(packer list after.exe)
check "list after: the original attachments only" "rec.exe rec.exe" \
    "$(awk 'NR > 1 { print $3 }' <<<"$out" | xargs)"

# ---- The launcher: which command runs ----

# run_launcher FILE: runs it with a fresh TMP; prints the recorded parameters of every command
# that ran, the exit code and what stayed in TMP.
run_launcher() {
    local tmp
    tmp=$(mktemp -d "$work/tmp.XXXXXX")
    wine_tmp_dir "$tmp"
    rm -f commands.log
    timeout 120 wine "$1" 2>>"$work/wine.log"
    local code=$?
    # Every run appends two lines: the command line, then the working directory.
    local ran
    ran=$(sed -n '1~2p' commands.log 2>/dev/null | sed 's/.* //' | xargs)
    echo "ran=[$ran] exit=$code tmp=[$(find "$tmp" -mindepth 1 -maxdepth 1 -printf '%f ')]"
}

check "signed" "ran=[original] exit=0 tmp=[]" "$(run_launcher signed.exe)"
check "(a) appended after the certificate table" "ran=[original] exit=0 tmp=[]" \
    "$(run_launcher after.exe)"
check "(b) inside the enlarged certificate table" "ran=[original] exit=0 tmp=[]" \
    "$(run_launcher inside.exe)"
check "(c) unsigned with trailing data" "ran=[original] exit=0 tmp=[]" \
    "$(run_launcher trailing.exe)"
# The appended attachment ends where the chain did, so the walk goes on into the chain.
check "unsigned with an attachment appended: read from the end, as ever" \
    "ran=[hostile original] exit=0 tmp=[]" "$(run_launcher unsigned_after.exe)"

cd / || exit 1
if ((failures == 0)); then
    rm -rf "$work"
    echo "all signed range checks passed"
    exit 0
fi
echo "$failures check(s) failed; files kept in $work"
exit 1
