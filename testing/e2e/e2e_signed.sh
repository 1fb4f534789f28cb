#!/usr/bin/env bash
# End to end, a launcher file signed after packing: the signature's certificate table stands
# behind the chain, and the launcher steps over it. The certificate is a throwaway, self-signed
# one made here.
#
#   e2e_signed.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE
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

new_case signed
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Setup launcher test signer" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$case_dir/key.pem" -out "$case_dir/certificate.pem" >"$case_dir/openssl.out" 2>&1
check "signing: certificate made" 0 $?

# The source file stays out of the launcher's directory, where the German command looks for it.
mkdir "$case_dir/payload"
head -c 2000000 /dev/urandom >"$case_dir/payload/update.msp"
setup_name=unsigned.exe pack --file "$case_dir/payload/update.msp" \
    --command "$recorder_win" --params "/p update.msp REINSTALL=ALL REINSTALLMODE=omus" \
    --in-extraction-dir \
    --command "$recorder_win" --params "German" --lcid 0x0407
unsigned=$setup
setup=$case_dir/setup.exe
osslsigncode sign -certs "$case_dir/certificate.pem" -key "$case_dir/key.pem" -h sha256 \
    -n "Setup" -in "$unsigned" -out "$setup" >"$case_dir/sign.out" 2>&1
check "signing: osslsigncode signed the launcher file" 0 $?
osslsigncode verify -CAfile "$case_dir/certificate.pem" -in "$setup" >"$case_dir/verify.out" 2>&1
check "signing: the signature verifies against the throwaway certificate" 0 $?
# The certificate table follows the chain: the packer's own reader names it.
check_match "signing: the chain is intact, with the certificate table behind it" \
    "OK: 3 attachments, 2000000 bytes of file data, a certificate table of [1-9][0-9]* bytes" \
    "$("$packer" verify "$setup" 2>&1)"

run_launcher
check "signed: exit code" 0 "$exit_code"
check_match "signed: the patch command found the file in the extraction directory, then the German one ran" \
    "^/p update\\.msp REINSTALL=ALL REINSTALLMODE=omus \\| .*\\\\VOQSETUP[0-9]+ \\| exists: update\\.msp
German \\| $(regex_quote "$(unix_to_wine_path "$case_dir")") \\| missing: update\\.msp\$" "$(records)"
check "signed: the extraction directory is gone" "" "$(tmp_listing)"

e2e_finish
