#!/usr/bin/env bash
# The launcher's resources as Windows reads them: the manifest asks for administrator rights,
# an icon and version strings exist, and both dialog templates hold exactly their fields. Also
# checks the import table: only DLLs that Windows always loads from the system directory.
#
#   resources_test.sh BUILD_DIR RESOURCES_TEST_EXE LAUNCHER_EXE
set -euo pipefail

build_dir=${1:?build directory}
program=${2:?resources_test.exe}
launcher=${3:?setup_launcher.exe}

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/wine/wine_env.sh"
wine_env_init "$build_dir"
wine_env_trap

expected='manifest execution level=requireAdministrator
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
item id=1001 class=MSCTLS_PROGRESS32 text= style=0x50800000 exstyle=0x00000000 rect=7,7,173,11'

actual=$(wine "$program" "$launcher" | tr -d '\r')
status=0
if [[ $actual != "$expected" ]]; then
    echo "FAIL: resources differ"
    diff <(echo "$expected") <(echo "$actual") || true
    status=1
else
    echo "ok: manifest, icon, version and dialog templates"
fi

# KnownDLLs: always loaded from the system directory, so they can't be planted beside setup.exe.
allowed='^(kernel32|user32|gdi32|shell32|advapi32|ole32|oleaut32|msvcrt|comdlg32|shlwapi)\.dll$'
imports=$(i686-w64-mingw32-objdump -p "$launcher" | sed -n 's/^\s*DLL Name: //p')
echo "imports: $(echo "$imports" | tr '\n' ' ')"
while read -r dll; do
    if ! tr '[:upper:]' '[:lower:]' <<<"$dll" | grep -qE "$allowed"; then
        echo "FAIL: the launcher imports $dll, which Windows may load from beside the launcher"
        status=1
    fi
done <<<"$imports"

timeout 30 wineserver -w || true
exit "$status"
