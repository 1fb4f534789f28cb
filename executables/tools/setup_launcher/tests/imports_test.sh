#!/usr/bin/env bash
# The launcher's import table, read from the file: only DLLs that Windows always loads from the
# system directory (KnownDLLs, and ntdll, which every process has before its first instruction),
# so none can be planted beside setup.exe.
#
#   imports_test.sh OBJDUMP LAUNCHER_EXE
set -euo pipefail

objdump=${1:?objdump for the target}
launcher=${2:?setup_launcher.exe}

allowed='^(ntdll|kernel32|user32|gdi32|shell32|advapi32|ole32|oleaut32|msvcrt|comdlg32|shlwapi)\.dll$'
imports=$("$objdump" -p "$launcher" | sed -n 's/^\s*DLL Name: //p')
echo "imports: $(echo "$imports" | tr '\n' ' ')"
[[ -n $imports ]] || {
    echo "FAIL: no import table found in $launcher"
    exit 1
}
status=0
while read -r dll; do
    if ! tr '[:upper:]' '[:lower:]' <<<"$dll" | grep -qE "$allowed"; then
        echo "FAIL: the launcher imports $dll, which Windows may load from beside the launcher"
        status=1
    fi
done <<<"$imports"
exit "$status"
