#!/usr/bin/env bash
# Sets up, builds, and shows the launcher at work on a sample program folder:
# a VELNOR.INI whose BIBO entries point at an old place, and a stand-in
# velnor.exe that shows what it was started with; then the folder moves and
# the next start brings the entries along. With --windows: start.exe under
# Wine, the program folder on a drive E: that stands for a USB stick.
#   bash tools/demo.sh [--windows]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
windows=0
if [ $# -eq 1 ] && [ "$1" = --windows ]; then
    windows=1
elif [ $# -ne 0 ]; then
    echo "usage: bash tools/demo.sh [--windows]" >&2
    exit 2
fi

source "$root/tools/packages.sh"
lock_checkout "$root"

# Made afresh on every run, inside the checkout: /tmp is often noexec.
if [ "$windows" = 1 ]; then
    qt_prefix="$(bash "$root/tools/setup-win32.sh")"
    bash "$root/tools/configure-win32.sh" "$root" "$root/build-win32" "$qt_prefix" >/dev/null
    cmake --build "$root/build-win32" -j"$(nproc)" --target start velnor_standin_win >/dev/null
    demo="$root/build-win32/demo"
    folder="$demo/stick/Tools Suite" shown='E:\Tools Suite'
    movedFolder="$demo/stick/Moved (x86)/Tools 2.0" movedShown='E:\Moved (x86)\Tools 2.0'
    programs=("$root/build-win32/start.exe" "$root/build-win32/standin/velnor.exe")
else
    "$root/tools/setup.sh"
    "$root/tools/build.sh" start velnor_standin >/dev/null
    demo="$root/build/demo"
    folder="$demo/Tools Suite" shown="$folder"
    movedFolder="$demo/Moved (x86)/Tools 2.0" movedShown="$movedFolder"
    programs=("$root/build/start" "$root/build/standin/velnor.exe")
fi
rm -rf "$demo"
mkdir -p "$folder"
cp "${programs[@]}" "$folder/"
{
    printf '[Paths]\r\n'
    printf 'BIBOPATH1=C:\\Old Place\\BIBO\\\r\n'
    printf 'BIBOPATH2=D:\\A\\BIBO\\Parts\\Power\\\r\n'
    printf ';BIBOPATH3=C:\\Old Place\\BIBO\\Archive\\\r\n'
    printf 'BIBOPATH4=C:\\Program Files (x86)\\App\\BIBO\\\r\n'
    printf '[Window]\n' # edited elsewhere: LF only
    printf 'Title=\xC2\xE5\xEB\xED\xEE\xF0\n' # Windows-1251 text
} >"$folder/VELNOR.INI"

show() {
    iconv -f WINDOWS-1251 -t UTF-8 "$folder/VELNOR.INI" | sed -e 's/\r$/  [CR LF]/' -e '/CR LF/!s/$/  [LF]/' -e 's/^/    /'
}

if [ "$windows" = 1 ]; then
    # A 32-bit prefix of the demo's own; the setup's Russian locale makes
    # Windows-1251 the ANSI code page. Only for Wine: fd 8, the checkout
    # lock, stays out of a server that may outlive the demo.
    export WINEPREFIX="$root/build-win32/demo-wineprefix" WINEARCH=win32 WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    in_wine() { LOCPATH="$velnor_locales" LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 "$@" 8>&-; }
    # velnor.exe runs on after start.exe ends: the server ends after both.
    wine_done() {
        in_wine timeout 300 wineserver -w || { echo "Wine has not finished within 5 minutes" >&2; exit 1; }
    }
    mkdir -p "$WINEPREFIX"
    in_wine wineserver -k 2>/dev/null || true # what an interrupted demo left running
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Making the demo's Wine prefix (a minute or two where Wine runs in qemu)" >&2
        in_wine timeout 900 wineboot --init >/dev/null 2>&1
        wine_done
    fi
    ln -sfn "$demo/stick" "$WINEPREFIX/dosdevices/e:"
    start_it() { (cd "$WINEPREFIX/drive_c" && in_wine wine "$shown\\start.exe") && wine_done; }
else
    start_it() { "$folder/start"; }
fi

echo "Program folder: $shown"
echo
echo "VELNOR.INI before:"
show
echo
if [ "$windows" = 1 ]; then
    echo "C:\\> \"$shown\\start.exe\""
    # Without a console the stand-in tells what it was started with in a file.
    record="$demo/record"
    VELNOR_STANDIN_RECORD="Z:${record//\//\\}" start_it
    [ -f "$record" ] || { echo "velnor.exe did not start" >&2; exit 1; }
    echo "    velnor.exe started; what it recorded:"
    grep -Ev '^(startflags|show)=' "$record" | sed 's/^/      /'
else
    echo "\$ \"$folder/start\""
    # The pipe stays open until the detached main program has finished printing.
    start_it 2>&1 | sed 's/^/    /'
fi
echo
echo "VELNOR.INI after:"
show
echo
echo "BIBOPATH4's old folder holds '(' and ')': it is brought up to date too."
echo
before="$(stat -c '%y' "$folder/VELNOR.INI")"
start_it >/dev/null 2>&1
after="$(stat -c '%y' "$folder/VELNOR.INI")"
echo "A second start finds every entry up to date and writes nothing:"
echo "    modified $before before, $after after."
echo
mkdir -p "$(dirname "$movedFolder")"
mv "$folder" "$movedFolder"
folder="$movedFolder" shown="$movedShown"
echo "Moved to $shown, where '(', ')' and '.' stand in the path, and started again:"
start_it >/dev/null 2>&1
echo "VELNOR.INI after the move:"
show
