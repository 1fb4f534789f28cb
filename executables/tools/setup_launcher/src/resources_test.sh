#!/usr/bin/env bash
# The launcher's resources as Windows reads them: the manifest asks for administrator rights and
# names the build's architecture, an icon and version strings exist, and both dialog templates
# hold exactly their fields. Read from the file by a Windows program that loads it as data, so a
# host that cannot run this build's architecture reads it with the other build's reader.
#
#   resources_test.sh BUILD_DIR RESOURCES_TEST_EXE LAUNCHER_EXE [OTHER_BUILD_DIR OTHER_READER_EXE]
set -euo pipefail

build_dir=${1:?build directory}
program=${2:?resources_test.exe}
launcher=${3:?setup_launcher.exe}
other_build_dir=${4:-}
other_program=${5:-}

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/wine/wine_env.sh"
arch=$(wine_build_arch "$build_dir")
manifest_arch=x86
[[ $arch == win64 ]] && manifest_arch=amd64

reader_build_dir=$build_dir
if ! reason=$(wine_host_can_run "$arch") && [[ -n $other_build_dir && -f $other_program ]] &&
    wine_host_can_run "$(wine_build_arch "$other_build_dir")" >/dev/null; then
    echo "this host cannot run the $arch build ($reason): reading with $other_program"
    reader_build_dir=$other_build_dir
    program=$other_program
fi
wine_env_trap
wine_env_init "$reader_build_dir"

expected="manifest execution level=requireAdministrator
manifest architecture=$manifest_arch
icon present
version FileVersion=1.0.0.0
version ProductName=Setup Launcher
version FileDescription=Setup launcher
dialog 129 ex=1/0xffff style=0x80C809C0 exstyle=0x00040008 rect=0,0,187,46 menu= class= title=Setup items=3
font 8 400 0 0 Microsoft Sans Serif
item id=1 class=BUTTON text=OK style=0x50010001 exstyle=0x00000000 rect=7,25,50,14
item id=2 class=BUTTON text=Cancel style=0x50010000 exstyle=0x00000000 rect=130,25,50,14
item id=1000 class=COMBOBOX text= style=0x50210103 exstyle=0x00000000 rect=7,7,173,78
dialog 130 ex=1/0xffff style=0x900008C8 exstyle=0x00000000 rect=0,0,187,25 menu= class= title= items=1
font 8 400 0 1 MS Shell Dlg
item id=1001 class=MSCTLS_PROGRESS32 text= style=0x50800000 exstyle=0x00000000 rect=7,7,173,11"

actual=$(wine "$program" "$(unix_to_wine_path "$launcher")" | tr -d '\r')
timeout 30 wineserver -w || true
if [[ $actual != "$expected" ]]; then
    echo "FAIL: resources differ"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
fi
echo "ok: manifest, icon, version and dialog templates"
