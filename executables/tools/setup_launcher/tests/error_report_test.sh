#!/usr/bin/env bash
# The real error box under Wine, in English and in German: the whole text and the title for each
# combination of errno and last error, and exit code 1 after OK.
#
#   error_report_test.sh BUILD_DIR ERROR_REPORT_TEST_EXE UI_DRIVER_EXE
set -uo pipefail

build_dir=${1:?build directory}
program=${2:?error_report_test.exe}
ui_driver=${3:?ui_driver.exe}
source_file="$(dirname "${BASH_SOURCE[0]}")/error_report_test_win32.cpp"

# shellcheck source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/../../../../testing/wine/harness.sh"

line=$(grep -n 'FATAL_ERROR("error_opening"' "$source_file" | cut -d: -f1)
unit="executables/tools/setup_launcher/tests/error_report_test_win32.cpp"

# Texts as the driver prints them: backslash, CR and LF escaped.
declare -A opening=([en]="Error opening 'C:\\\\Downloads\\\\setup.exe'."
                    [de]="Fehler beim Öffnen von 'C:\\\\Downloads\\\\setup.exe'")
declare -A file_and_line=([en]="\\n\\n$unit (line $line)" [de]="\\n\\n$unit (zeile $line)")
declare -A access_denied=([en]="Access denied." [de]="Zugriff verweigert.")
declare -A copy_help=(
    [en]='\n\nYou can copy the text of this error message by pressing ctrl+c and then You\ncan easily post it with ctrl+v in a support forum or in emails to the support.'
    [de]='\n\nSie können den Text dieser Fehlermeldung mittel Strg+c kopieren und dann\nmit Strg+v im Support Forum oder in Emails an den Support einfügen.')
declare -A title=([en]=Error [de]=Fehler)
declare -A locale=([en]=en_US.UTF-8 [de]=de_DE.UTF-8)

expected_text() {
    local language=$1 mode=$2 middle=
    case $mode in
        errno) middle='\nerrno==2 -> No such file or directory' ;;
        last_error) middle="\\nGetLastError==5 -> ${access_denied[$language]}\\r\\n" ;;
        no_text) middle='\nGetLastError==536870913 -> (null)' ;;
    esac
    printf '%s' "${opening[$language]}${file_and_line[$language]}$middle${copy_help[$language]}"
}

wine_script_start error_report_test en_US.UTF-8 de_DE.UTF-8

for language in en de; do
    for mode in plain errno last_error no_text; do
        LANG=${locale[$language]} wine "$program" "$mode" &
        pid=$!
        drive --class '#32770' --timeout 30000 --dump --press 1 --wait-gone
        status=0
        wait "$pid" || status=$?
        check "$language $mode: title" "title: ${title[$language]}" "$(grep '^title: ' <<<"$out")"
        check "$language $mode: text" "$(expected_text "$language" "$mode")" "$(box_text "$out")"
        check "$language $mode: exit code" 1 "$status"
    done
done

wine_script_finish
