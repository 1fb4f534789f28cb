#!/usr/bin/env bash
# Captures the launcher's two windows as a user sees them, under Wine on a private Xvfb, into
# docs/pictures/: the progress window during a long extraction and the language dialog of a
# payload with English and German commands (English interface). Each picture is cropped to its
# window. Needs the configurations built (scripts/run_tests.sh or the cmake builds). Runs in the
# Windows test root (testing/wine/windows_root.sh), with the i686 launcher (the x86-64 one only
# where 32-bit code can't run at all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ ${SETUP_TESTS_IN_WINDOWS_ROOT:-} != 1 ]]; then
    # shellcheck source-path=SCRIPTDIR source=../testing/wine/windows_root.sh
    source testing/wine/windows_root.sh
    windows_root_prepare
    [[ -n $SETUP_TESTS_WINDOWS_ROOT ]] || {
        echo "no Windows test root: $SETUP_TESTS_NO_WINDOWS_ROOT" >&2
        exit 1
    }
    preset=windows
    [[ $SETUP_TESTS_I386 != none ]] || preset="windows-x64"
    echo "Pictures of the $preset launcher; $SETUP_TESTS_I386_REPORT."
    windows_root_run -- bash scripts/capture_pictures.sh "$preset"
    exit
fi

# shellcheck source-path=SCRIPTDIR
source testing/wine/wine_env.sh
windows=build/${1:?the Windows preset}
packer=build/native/executables/tools/setup_packer/setup_packer
launcher=$windows/executables/tools/setup_launcher/setup_launcher.exe
driver=$windows/testing/ui_driver.exe
for tool in "$packer" "$launcher" "$driver"; do
    [[ -f $tool ]] || {
        echo "missing $tool: build the configurations first" >&2
        exit 1
    }
done
for tool in xwd xwininfo convert; do
    command -v "$tool" >/dev/null || {
        echo "missing $tool (x11-apps, x11-utils, imagemagick)" >&2
        exit 1
    }
done

work=$(mktemp -d "$root/build/pictures.XXXXXX")
pictures=$root/docs/pictures
mkdir -p "$pictures" "$work/tmp"

ensure_locales en_US.UTF-8
export LANG=en_US.UTF-8
unset LC_ALL LC_MESSAGES LANGUAGE
wine_env_init "$windows"
cleanup() {
    local status=$?
    [[ -n ${stopped_pid:-} ]] && kill -CONT "$stopped_pid" 2>/dev/null
    rm -rf "$work"
    (exit "$status")
    wine_env_cleanup
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
xvfb_start
wine_tmp_dir "$work/tmp"

# Wine's own fonts (the Debian package fonts-wine) stand where this Wine build doesn't look for
# them; without them the caption's close box shows a letter instead of its glyph and the progress
# window falls back to a wider font. They are made known to this run's prefix only.
if [[ -f /usr/share/wine/fonts/marlett.ttf ]]; then
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts]\n'
        for font in /usr/share/wine/fonts/*.ttf; do
            printf '"%s (TrueType)"="Z:%s"\n' "$(basename "$font" .ttf)" "${font//\//\\\\}"
        done
    } >"$work/fonts.reg"
    wine regedit /S "$(unix_to_wine_path "$work/fonts.reg")"
else
    echo "fonts-wine is not installed: the caption's close box will show a letter" >&2
fi

# Crops the screen to the visible top-level X window of that title (Wine names its X windows
# after the Windows titles) and writes it as PNG.
capture() {
    local title=$1 output=$2 id geometry=
    for id in $(xwininfo -root -children | grep -F "\"$title\": (" | awk '{ print $1 }'); do
        xwininfo -id "$id" | grep -q 'Map State: IsViewable' || continue
        geometry=$(xwininfo -id "$id" | awk '
            /Absolute upper-left X:/ { x = $NF } /Absolute upper-left Y:/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { printf "%dx%d+%d+%d", w, h, x, y }')
        break
    done
    [[ -n $geometry ]] || {
        echo "no visible window \"$title\" on the screen" >&2
        return 1
    }
    xwd -root -silent | convert xwd:- -crop "$geometry" +repage -strip png:"$output"
    echo "$output: $geometry, $(stat -c %s "$output") bytes"
}

# ---- The progress window: a file of 1 GiB gives the extraction a few seconds. Once the window
# has been painted and the bar has moved on a little, the launcher is stopped for the capture and
# then closed through its window, which removes what it had extracted.

truncate -s 1G "$work/setup_data.bin"
"$packer" build --launcher "$launcher" --output "$work/setup.exe" \
    --file "$work/setup_data.bin" >/dev/null
rm -f "$work/setup_data.bin"
wine "$driver" --class '#32770' --title setup.exe --timeout 20000 --dump --sleep 400 \
    >/dev/null &
driver_pid=$!
sleep 1
wine "$work/setup.exe" &
launcher_pid=$!
wait "$driver_pid"
kill -STOP "$launcher_pid"
stopped_pid=$launcher_pid
sleep 0.2
capture setup.exe "$pictures/progress_window.png"
kill -CONT "$launcher_pid"
stopped_pid=
wine "$driver" --class '#32770' --title setup.exe --close --wait-gone
wait "$launcher_pid"
rm -f "$work/setup.exe"

# ---- The language dialog: waits for the user, so it is captured as it stands.

"$packer" build --launcher "$launcher" --output "$work/setup.exe" \
    --command cmd.exe --params "/c exit" --lcid 0x0409 \
    --command cmd.exe --params "/c exit" --lcid 0x0407 >/dev/null
wine "$work/setup.exe" &
launcher_pid=$!
# The dump answers once the dialog has been drawn.
wine "$driver" --class '#32770' --title setup.exe --timeout 20000 --dump >/dev/null
sleep 0.3
capture setup.exe "$pictures/language_dialog.png"
wine "$driver" --class '#32770' --title setup.exe --press 2 --wait-gone
wait "$launcher_pid"

xvfb_stop
echo "pictures written to docs/pictures/"
