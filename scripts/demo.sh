#!/usr/bin/env bash
# The main job: builds everything, packs a demo setup.exe from the sample payload in demo/ with
# setup_packer, and runs it under Wine. The payload holds a text file, one command for every
# language and one command each for English and German; the commands are cmd.exe writing lines
# into build/demo/demo.log. With a display you work the windows yourself; without one the demo
# starts its own Xvfb and answers the language dialog with its preselected language.
#
# It runs the i686 launcher where this host can, and the x86-64 launcher where it cannot
# (a host without 32-bit support, or WINE_NO_I386=1).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install_dependencies.sh
for preset in windows windows-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
cmake --preset native >/dev/null
cmake --build --preset native --target setup_packer

# shellcheck source-path=SCRIPTDIR
source testing/wine/wine_env.sh
preset=$(wine_pick_preset)
windows=build/$preset
if [[ $preset == windows ]]; then
    echo "Demo with the i686 launcher."
else
    echo "Demo with the x86-64 launcher: this host cannot run the i686 one" \
        "($(wine_host_can_run win32))."
fi

packer=build/native/executables/tools/setup_packer/setup_packer
launcher=$windows/executables/tools/setup_launcher/setup_launcher.exe
demo=build/demo
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
    # The progress window shares the dialog's class and title; only the dialog has an OK button.
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

echo
echo "setup.exe exited with code $status."
echo "What the commands wrote into $demo/demo.log:"
sed 's/^/    /' "$demo/demo.log" 2>/dev/null | tr -d '\r' || echo "    (nothing)"
leftover=$(find "$demo/tmp" -maxdepth 1 -name 'VOQSETUP*' | head -n 1)
echo "Extraction directory removed: $([[ -z $leftover ]] && echo yes || echo "no ($leftover)")"
[[ -n ${automatic:-} ]] && xvfb_stop
exit "$status"
