#!/usr/bin/env bash
# Whole starts of the Windows start.exe under Wine, against a plain Win32
# program that reads VELNOR.INI, starts velnor.exe and calls
# AllowSetForegroundWindow (bench/win_floor.c), the same loading user32 only
# for that call, and the same without the call:
# CPU and wall time as medians of ratios within rounds, the DLLs a normal
# start loads, the file's size. A few minutes; more where Wine runs in qemu.
#
#   bash bench/wine-start.sh [--rounds N] [NAME=START_EXE ...]
#
# Without launchers named it builds and measures build-win32/start.exe.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds=60
if [ "${1:-}" = --rounds ]; then rounds=$2; shift 2; fi

qt_prefix="$(bash "$root/tools/setup-win32.sh")"
build="$root/build-win32"
bash "$root/tools/configure-win32.sh" "$root" "$build" "$qt_prefix" >/dev/null
cmake --build "$build" -j"$(nproc)" --target start velnor_standin_win >/dev/null

# The floor imports user32 as a plain program would; the late floor takes
# it from the build's delay-import library, so that, as in start.exe, user32
# loads only once velnor.exe's process exists.
floors="$build/bench"
mkdir -p "$floors"
floor() { # name, compiler arguments
    local name=$1
    shift
    i686-w64-mingw32-gcc-posix -Os -s -mwindows "$root/bench/win_floor.c" -o "$floors/$name.exe" "$@"
}
floor floor -DALLOW_FOREGROUND -luser32
floor late-floor -DALLOW_FOREGROUND -L"$build/import-libraries" -luser32
floor plain-floor
[ $# -gt 0 ] || set -- "start.exe=$build/start.exe"

# A prefix of the benchmark's own, with a server that stays up between
# starts so that no start pays for bringing it up.
source "$root/tools/packages.sh"
export LOCPATH="$velnor_locales" # the setup's Russian locale, for Wine's code page
export WINEPREFIX="$floors/wineprefix" WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX" # the server won't start in a folder that isn't there
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINEDEBUG=-all wineboot --init >/dev/null 2>&1
fi

echo "Measured $(date -u '+%Y-%m-%d %H:%M') UTC on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)."
python3 "$root/bench/wine_start.py" --rounds "$rounds" --floor "$floors/floor.exe" \
    --late-floor "$floors/late-floor.exe" --plain-floor "$floors/plain-floor.exe" --standin "$build/standin/velnor.exe" \
    --settings "$root/bench/typical-VELNOR.INI" "$@"
