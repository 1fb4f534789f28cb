#!/usr/bin/env bash
# The main job: builds everything, packs a demo setup.exe from the sample payload in demo/ with
# setup_packer, and runs it under Wine 10 in the Windows test root (testing/wine/windows_root.sh).
# The payload holds a text file, one command for every language and one command each for English
# and German; the commands are cmd.exe writing lines into build/demo/demo.log. With a display you
# work the windows yourself; without one the demo starts its own Xvfb and answers the language
# dialog with its preselected language.
#
# It runs the i686 launcher, and says whether 32-bit code ran natively or emulated (qemu-i386,
# where the kernel runs none; SETUP_TESTS_EMULATE_I386=1 takes that path on any host). Only
# where 32-bit code can't run at all does it fall back to the x86-64 launcher, saying why.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=build/demo

# ---------------------------------------------------------------------------- in the root

# scripts/demo.sh --in-windows-root PRESET: runs the packed setup.exe, in the root.
if [[ ${1:-} == --in-windows-root ]]; then
    windows=build/$2
    # shellcheck source-path=SCRIPTDIR source=../testing/wine/wine_env.sh
    source testing/wine/wine_env.sh
    ensure_locales en_US.UTF-8 de_DE.UTF-8
    export LANG=${LANG:-en_US.UTF-8}
    case $LANG in *.UTF-8 | *.utf8) ;; *) export LANG=en_US.UTF-8 ;; esac
    wine_env_trap
    wine_env_init "$windows"
    wine_tmp_dir "$root/$demo/tmp"

    driver=$windows/testing/ui_driver.exe
    if [[ -z ${DISPLAY:-} ]]; then
        echo "No display: starting a private Xvfb; the demo answers the language dialog itself."
        xvfb_start
        automatic=yes
    fi

    echo "Running $demo/setup.exe under Wine (LANG=$LANG) ..."
    status=0
    wine "$demo/setup.exe" &
    pid=$!
    if [[ -n ${automatic:-} ]]; then
        # The progress window shares the dialog's class and title; only the dialog has an OK
        # button.
        for _ in $(seq 1 100); do
            if dump=$(wine "$driver" --class '#32770' --title setup.exe --timeout 500 --dump 2>/dev/null) &&
                grep -q 'id=1000' <<<"$dump"; then
                echo "Language dialog:"
                grep -E '^(title|control|item|selected):' <<<"$dump" | sed 's/^/    /'
                wine "$driver" --class '#32770' --title setup.exe --press 1 >/dev/null && break
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.2
        done
    fi
    wait "$pid" || status=$?
    [[ -n ${automatic:-} ]] && xvfb_stop
    exit "$status"
fi

# ---------------------------------------------------------------------------- on the host

bash scripts/install_dependencies.sh
for preset in windows windows-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
cmake --preset native >/dev/null
cmake --build --preset native --target setup_packer

# shellcheck source-path=SCRIPTDIR source=../testing/wine/windows_root.sh
source testing/wine/windows_root.sh
# shellcheck source-path=SCRIPTDIR source=../testing/wine/wine_env.sh
source testing/wine/wine_env.sh
windows_root_prepare
if [[ -z $SETUP_TESTS_WINDOWS_ROOT ]]; then
    echo "The demo runs in the Windows test root, and there is none: $SETUP_TESTS_NO_WINDOWS_ROOT" >&2
    exit 1
fi
if [[ $SETUP_TESTS_I386 != none ]]; then
    preset=windows
    echo "Demo with the i686 launcher; $SETUP_TESTS_I386_REPORT."
else
    preset="windows-x64"
    echo "Demo with the x86-64 launcher: the i686 one can't run here. $SETUP_TESTS_I386_REPORT."
fi

packer=build/native/executables/tools/setup_packer/setup_packer
launcher=build/$preset/executables/tools/setup_launcher/setup_launcher.exe
rm -rf "$demo"
mkdir -p "$demo/tmp"
log_windows=$(unix_to_wine_path "$root/$demo/demo.log")

# Processing order: the file, then the commands for every language, then one language's.
"$packer" build --launcher "$launcher" --output "$demo/setup.exe" \
    --file demo/payload/readme.txt \
    --command cmd.exe --params "/c type readme.txt >> \"$log_windows\"" --in-extraction-dir \
    --command cmd.exe --params "/c echo Every language: this command ran in the launcher's folder>> demo.log" \
    --command cmd.exe --params "/c echo English: the English command ran>> demo.log" --lcid 0x0409 \
    --command cmd.exe --params "/c echo Deutsch: der deutsche Befehl lief>> demo.log" --lcid 0x0407
echo
"$packer" list "$demo/setup.exe"
"$packer" verify "$demo/setup.exe"
echo

display=()
[[ -n ${DISPLAY:-} ]] && display=(--host-display)
status=0
windows_root_run "${display[@]}" -- bash scripts/demo.sh --in-windows-root "$preset" || status=$?

echo
echo "setup.exe exited with code $status."
echo "What the commands wrote into $demo/demo.log:"
sed 's/^/    /' "$demo/demo.log" 2>/dev/null | tr -d '\r' || echo "    (nothing)"
leftover=$(find "$demo/tmp" -maxdepth 1 -name 'VOQSETUP*' | head -n 1)
echo "Extraction directory removed: $([[ -z $leftover ]] && echo yes || echo "no ($leftover)")"
echo "The $([[ $preset == windows ]] && echo i686 || echo x86-64) launcher ran;" \
    "${SETUP_TESTS_I386_REPORT/#32-bit code runs/32-bit code ran}."
exit "$status"
