#!/usr/bin/env bash
# End to end, launcher files signed after packing, with a throwaway self-signed certificate made
# here. The signature's certificate table stands behind the chain and the launcher steps over it.
# Only the signed range is payload: an attachment appended after the certificate table, or slipped
# inside the table with its lengths enlarged (which leaves the signature as Windows judges it), is
# ignored by the launcher and reported by setup_packer verify. An unsigned file still reads from
# its end, stepping over trailing data.
#
#   e2e_signed.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER
set -uo pipefail

# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

for tool in openssl osslsigncode; do
    command -v "$tool" >/dev/null || {
        echo "FAIL: $tool is not installed (scripts/install_dependencies.sh installs osslsigncode)"
        exit 1
    }
done
e2e_start e2e_signed

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Setup launcher test signer" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/key.pem" -out "$work/certificate.pem" >"$work/openssl.out" 2>&1
check "signing: certificate made" 0 $?

# sign UNSIGNED SIGNED: signs with the throwaway certificate and checks the signature.
sign() {
    osslsigncode sign -certs "$work/certificate.pem" -key "$work/key.pem" -h sha256 \
        -n "Setup" -in "$1" -out "$2" >"$case_dir/sign.out" 2>&1
    check "signing: osslsigncode signed $(basename "$2")" 0 $?
    osslsigncode verify -CAfile "$work/certificate.pem" -in "$2" >"$case_dir/verify.out" 2>&1
    check "signing: the signature of $(basename "$2") verifies" 0 $?
}

# ---- A typical payload, signed: it runs as it would unsigned

new_case signed
# The source file stays out of the launcher's directory, where the German command looks for it.
mkdir "$case_dir/payload"
head -c 2000000 /dev/urandom >"$case_dir/payload/update.msp"
setup_name=unsigned.exe pack --file "$case_dir/payload/update.msp" \
    --command "$recorder_win" --params "/p update.msp REINSTALL=ALL REINSTALLMODE=omus" \
    --in-extraction-dir \
    --command "$recorder_win" --params "German" --lcid 0x0407
sign "$case_dir/unsigned.exe" "$case_dir/setup.exe"
setup=$case_dir/setup.exe
check_match "signed: verify finds the chain intact before the certificate table" \
    "OK: 3 attachments, 2000000 bytes of file data, .*certificate table of [1-9][0-9]* bytes" \
    "$("$packer" verify "$setup" 2>&1)"
run_launcher
check "signed: exit code" 0 "$exit_code"
check_match "signed: the patch command found the file in the extraction directory, then the German one ran" \
    "^/p update\\.msp REINSTALL=ALL REINSTALLMODE=omus \\| .*\\\\VOQSETUP[0-9]+ \\| exists: update\\.msp
German \\| $(regex_quote "$(unix_to_wine_path "$case_dir")") \\| missing: update\\.msp\$" "$(records)"
check "signed: the extraction directory is gone" "" "$(tmp_listing)"

# ---- Only the signed range is payload

new_case range
head -c 1000 /dev/urandom >"$case_dir/payload.bin"
setup_name=packed.exe pack --file "$case_dir/payload.bin=rec.bin" \
    --command "$recorder_win" --params original --in-extraction-dir
packed=$setup
sign "$packed" "$case_dir/signed.exe"

# The attachment an attacker would add: the recorder, run from the launcher's directory. Made
# as a chain on its own, without a launcher in front.
hostile=$case_dir/hostile.bin
"$chain_maker" chain /dev/null "$hostile" --command 0x02 "$recorder_win" hostile
hostile_size=$(stat -c %s "$hostile")

# Little-endian numbers in a file: read_u32 FILE OFFSET, write_u32 FILE OFFSET VALUE.
read_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
write_u32() {
    local escapes
    escapes=$(printf '\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) \
        $(($3 >> 24 & 255)))
    # shellcheck disable=SC2059  # the escapes are the format
    printf "$escapes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# The file offset of the security data directory entry: the data directories begin 96 bytes into
# the optional header of a PE32 image (magic 0x10B) and 112 bytes into that of a PE32+ image
# (0x20B); the certificate table is the fifth.
security_entry() {
    local pe magic directories
    pe=$(read_u32 "$1" 60)
    magic=$(od -An -tu2 -j $((pe + 24)) -N2 "$1" | tr -d ' ')
    case $magic in
    267) directories=96 ;;
    523) directories=112 ;;
    *)
        echo "security_entry: $1 is no PE32 or PE32+ image (magic $magic)" >&2
        return 1
        ;;
    esac
    echo $((pe + 24 + directories + 4 * 8))
}

signed=$case_dir/signed.exe
entry=$(security_entry "$signed") || exit 1
table=$(read_u32 "$signed" "$entry")
table_size=$(read_u32 "$signed" $((entry + 4)))
echo "certificate table: $table_size bytes at offset $table of $(stat -c %s "$signed")"
check "the table follows the packed file (padded to 8 bytes)" \
    $(((($(stat -c %s "$packed") + 7) / 8) * 8)) "$table"

# (a) An attachment appended after the certificate table.
cp "$signed" "$case_dir/after.exe"
cat "$hostile" >>"$case_dir/after.exe"

# (b) The same attachment inside the table: WIN_CERTIFICATE's dwLength and the directory's size
# grow by it, padded to 8 bytes as signing pads.
inside=$case_dir/inside.exe
cp "$signed" "$inside"
cat "$hostile" >>"$inside"
padding=$(((8 - hostile_size % 8) % 8))
head -c "$padding" /dev/zero >>"$inside"
grown=$((hostile_size + padding))
write_u32 "$inside" $((entry + 4)) $((table_size + grown))
write_u32 "$inside" "$table" $(($(read_u32 "$inside" "$table") + grown))
check "inside: the table now reaches the file's end" "$(stat -c %s "$inside")" \
    $(($(read_u32 "$inside" "$entry") + $(read_u32 "$inside" $((entry + 4)))))

# (c) Unsigned, with trailing data; and unsigned with the attachment appended, which the launcher
# reads as it always has: from the file's end.
cp "$packed" "$case_dir/trailing.exe"
head -c 6000 /dev/urandom >>"$case_dir/trailing.exe"
cp "$packed" "$case_dir/unsigned_after.exe"
cat "$hostile" >>"$case_dir/unsigned_after.exe"

# setup_packer verify reports what lies outside the signed range.
out=$("$packer" verify "$case_dir/after.exe" 2>&1)
check "verify after: exit code" 0 $?
printf '%s\n' "$out"
check "verify after: the bytes after the table" \
    "$case_dir/after.exe: ignored: $hostile_size bytes at offset $((table + table_size)) follow the certificate table: they are outside the signed range and ignored" \
    "$(grep -F 'follow the certificate table' <<<"$out")"
out=$("$packer" verify "$inside" 2>&1)
check "verify inside: only the attachment signature in the table" \
    "$inside: ignored: an attachment signature at offset $(($(stat -c %s "$inside") - padding - 12)) is outside the signed range: the attachments there are ignored" \
    "$(grep -F 'ignored:' <<<"$out")"
out=$("$packer" list "$case_dir/after.exe")
check "list after: the original attachments only" "rec.bin $recorder_win" \
    "$(awk 'NR > 1 && $1 ~ /^[0-9]+$/ { names = names (names == "" ? "" : " ") $3 }
            END { print names }' <<<"$out")"

# run_range FILE: runs it; prints the parameters of every command that ran, the exit code and
# what stayed in TMP.
run_range() {
    setup=$case_dir/$1
    rm -f "$case_log"
    run_launcher
    echo "ran=[$(records | cut -d'|' -f1 | xargs)] exit=$exit_code tmp=[$(tmp_listing | xargs)]"
}
check "signed" "ran=[original] exit=0 tmp=[]" "$(run_range signed.exe)"
check "(a) appended after the certificate table" "ran=[original] exit=0 tmp=[]" \
    "$(run_range after.exe)"
check "(b) inside the enlarged certificate table" "ran=[original] exit=0 tmp=[]" \
    "$(run_range inside.exe)"
check "(c) unsigned with trailing data" "ran=[original] exit=0 tmp=[]" \
    "$(run_range trailing.exe)"
# The appended attachment ends where the chain did, so the walk goes on into the chain.
check "unsigned with an attachment appended: read from the end, as ever" \
    "ran=[hostile original] exit=0 tmp=[]" "$(run_range unsigned_after.exe)"

e2e_finish
