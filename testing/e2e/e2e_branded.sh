#!/usr/bin/env bash
# End to end, a vendor's branded setup file: the example project (examples/cmake) builds it
# against the installed CMake package with this build's launcher. Windows reads back its version
# details and the example's icon; it signs with osslsigncode, and both osslsigncode verify and
# setup_packer verify accept it; and the launcher runs it as it runs the same payload unbranded.
#
#   e2e_branded.sh BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE CHAIN_MAKER \
#                  RESOURCES_TEST_EXE
set -uo pipefail

reader=$(realpath "${7:?resources_test.exe}")
# shellcheck source-path=SCRIPTDIR source=e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
for tool in openssl osslsigncode cmake ninja; do
    command -v "$tool" >/dev/null || {
        echo "FAIL: $tool is not installed"
        exit 1
    }
done
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
arch=x86-64
[[ $(wine_build_arch "$build_dir") == win32 ]] && arch=i686
e2e_start e2e_branded

# ---- The example's setup file, built against the installed package

new_case example
host_build=$(dirname "$(dirname "$(dirname "$(dirname "$packer")")")")
cmake --install "$host_build" --prefix "$work/prefix" >"$case_dir/install.log" 2>&1
check "the host build installs, launchers included" 0 $?
cmake -S "$root/examples/cmake" -B "$case_dir/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DEXAMPLE_SETUP_ARCH="$arch" >"$case_dir/configure.log" 2>&1 &&
    cmake --build "$case_dir/build" >"$case_dir/build.log" 2>&1
check "the example builds its setup file" 0 $?
branded=$case_dir/build/example-setup.exe
check "it carries this build's launcher" "$branded: the $arch launcher" \
    "$("$packer" list "$branded" 2>&1 | grep -o "^.*: the $arch launcher")"

# ---- What Windows reads of it: the given version details and icon, the launcher's own rest

read_resources() { wine "$reader" "$(unix_to_wine_path "$1")" | tr -d '\r'; }
branded_resources=$(read_resources "$branded")
plain_resources=$(read_resources "$launcher")
check "Windows reads the version details given" "version fixed file=2.1.0.0 product=2.1.0.0
version FileVersion=2.1.0
version ProductVersion=2.1.0
version ProductName=Example Tool
version FileDescription=Example Tool Setup
version OriginalFilename=example-setup.exe
version CompanyName=Example Company
version LegalCopyright=Copyright (C) 2026 Example Company
version InternalName=example-setup
version Comments=Made with setup_launcher_add_setup()" \
    "$(grep '^version ' <<<"$branded_resources")"
check "the icon group is the example's, every image loading at its size" "icon 256x256 32bpp png loads 256x256
icon 48x48 32bpp bitmap loads 48x48
icon 32x32 32bpp bitmap loads 32x32
icon 16x16 32bpp bitmap loads 16x16" "$(grep '^icon ' <<<"$branded_resources")"
check "manifest and dialog templates are the launcher's" \
    "$(grep -vE '^(icon|version) ' <<<"$plain_resources")" \
    "$(grep -vE '^(icon|version) ' <<<"$branded_resources")"

# ---- Signed

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Example Company test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/certificate.pem" \
    >"$work/openssl.out" 2>&1
signed=$case_dir/example-setup-signed.exe
osslsigncode sign -certs "$work/certificate.pem" -key "$work/key.pem" -h sha256 \
    -n "Example Tool" -in "$branded" -out "$signed" >"$case_dir/sign.out" 2>&1
check "osslsigncode signs it" 0 $?
osslsigncode verify -CAfile "$work/certificate.pem" -in "$signed" >"$case_dir/verify.out" 2>&1
check "osslsigncode verify accepts it" 0 $?
check_match "setup_packer verify accepts it" \
    "^$(regex_quote "$signed"): OK: 2 attachments, [0-9]+ bytes of file data, the $arch launcher .*, a certificate table of" \
    "$("$packer" verify "$signed" 2>&1)"

# ---- Run, against the same payload behind the plain launcher

# run_setup FILE: runs it from a case of its own; prints the exit code, the log its command
# wrote beside it and what stayed in TMP.
run_setup() {
    new_case "run-$(basename "$1" .exe)" >/dev/null
    cp "$1" "$case_dir/"
    setup=$case_dir/$(basename "$1")
    run_launcher
    echo "exit=$exit_code log=[$(tr -d '\r' <"$case_dir/example-setup.log" 2>/dev/null)]" \
        "tmp=[$(tmp_listing | xargs)]"
}
setup_name=plain.exe pack --file "$root/examples/cmake/payload/readme.txt" \
    --command cmd.exe --params "/c echo Example Tool 2.1.0 was set up>> example-setup.log"
plain=$setup
check "the plain file holds the same attachments" \
    "$("$packer" list --json "$branded" | python3 -c 'import json,sys; print(json.load(sys.stdin)["attachments"])')" \
    "$("$packer" list --json "$plain" | python3 -c 'import json,sys; print(json.load(sys.stdin)["attachments"])')"
plain_run=$(run_setup "$plain")
check "the plain file runs its command" "exit=0 log=[Example Tool 2.1.0 was set up] tmp=[]" \
    "$plain_run"
check "the branded, signed file runs as the plain one does" "$plain_run" "$(run_setup "$signed")"

e2e_finish
