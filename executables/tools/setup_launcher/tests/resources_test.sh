#!/usr/bin/env bash
# The resources of the launcher and of setup_packer as Windows reads them: manifests (the
# launcher's asks for administrator rights, the version 6 common controls of the build's
# architecture and per-monitor DPI awareness; setup_packer's runs as invoked), the launcher's icon
# images as the system loads them, the version resources and both dialog templates, field by
# field. Every version is the product's, as project() sets it: both version resources and both
# manifests' identities (setup_packer_cli_test checks `setup_packer --version`). Read from the
# files by a Windows program that loads them as data, so a host that cannot run this build's
# architecture reads them with the other build's reader.
#
#   resources_test.sh BUILD_DIR RESOURCES_TEST_EXE LAUNCHER_EXE SETUP_PACKER_EXE VERSION \
#                     [OTHER_BUILD_DIR OTHER_READER_EXE]
set -euo pipefail

build_dir=${1:?build directory}
program=${2:?resources_test.exe}
launcher=${3:?setup_launcher.exe}
packer=${4:?setup_packer.exe}
version=${5:?product version}
other_build_dir=${6:-}
other_program=${7:-}
quad=$version.0

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/wine/wine_env.sh"
# shellcheck source=/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/checks.sh"
arch=$(wine_build_arch "$build_dir")
architecture=x86
[[ $arch == win64 ]] && architecture=amd64

reader_build_dir=$build_dir
if ! reason=$(wine_host_can_run "$arch") && [[ -n $other_build_dir && -f $other_program ]] &&
    wine_host_can_run "$(wine_build_arch "$other_build_dir")" >/dev/null; then
    echo "this host cannot run the $arch build ($reason): reading with $other_program"
    reader_build_dir=$other_build_dir
    program=$other_program
fi
wine_env_trap
wine_env_init "$reader_build_dir"

version_lines() {
    echo "version fixed file=$quad product=$quad
version FileVersion=$quad
version ProductVersion=$quad
version ProductName=Setup Launcher
version FileDescription=$1
version OriginalFilename=$2
version CompanyName=-
version LegalCopyright=-
version InternalName=$3
version Comments=-"
}

expected_launcher="manifest identity=SetupLauncher version=$quad architecture=$architecture
manifest execution level=requireAdministrator
manifest dependency=Microsoft.Windows.Common-Controls version=6.0.0.0 architecture=$architecture \
token=6595b64144ccf1df
manifest windowsSettings in application xmlns=urn:schemas-microsoft-com:asm.v3
manifest dpiAware=true/pm xmlns=http://schemas.microsoft.com/SMI/2005/WindowsSettings
manifest dpiAwareness=PerMonitorV2, PerMonitor xmlns=http://schemas.microsoft.com/SMI/2016/WindowsSettings
icon 16x16 32bpp png loads 16x16
icon 32x32 32bpp png loads 32x32
icon 48x48 32bpp png loads 48x48
icon 256x256 32bpp png loads 256x256
$(version_lines "Setup launcher" setup_launcher.exe setup_launcher)
dialog 129 ex=1/0xffff style=0x80C809C0 exstyle=0x00040008 rect=0,0,187,46 menu= class= title=Setup items=3
font 8 400 0 0 Microsoft Sans Serif
item id=1 class=BUTTON text=OK style=0x50010001 exstyle=0x00000000 rect=7,25,50,14
item id=2 class=BUTTON text=Cancel style=0x50010000 exstyle=0x00000000 rect=130,25,50,14
item id=1000 class=COMBOBOX text= style=0x50210103 exstyle=0x00000000 rect=7,7,173,78
dialog 130 ex=1/0xffff style=0x900008C8 exstyle=0x00000000 rect=0,0,187,25 menu= class= title= items=1
font 8 400 0 1 MS Shell Dlg
item id=1001 class=MSCTLS_PROGRESS32 text= style=0x50800000 exstyle=0x00000000 rect=7,7,173,11"

expected_packer="manifest identity=SetupPacker version=$quad architecture=$architecture
manifest execution level=asInvoker
manifest dependency=- version=- architecture=- token=-
manifest windowsSettings in application xmlns=-
manifest dpiAware=-
manifest dpiAwareness=-
icon missing
$(version_lines "Setup packer: builds and checks setup launcher files" setup_packer.exe setup_packer)
dialog 129 missing
dialog 130 missing"

# Line by line, so that a failure names the lines that differ.
compare() {
    local what=$1 expected=$2 actual=$3
    if [[ $actual == "$expected" ]]; then
        echo "ok: $what"
    else
        echo "FAIL: $what differ"
        diff <(echo "$expected") <(echo "$actual") || true
        failures=$((failures + 1))
    fi
}

compare "launcher: manifest, icon, version and dialog templates" "$expected_launcher" \
    "$(wine "$program" "$(unix_to_wine_path "$launcher")" | tr -d '\r')"
compare "setup_packer: manifest and version" "$expected_packer" \
    "$(wine "$program" "$(unix_to_wine_path "$packer")" | tr -d '\r')"
timeout 30 wineserver -w || true
[[ $failures -eq 0 ]]

