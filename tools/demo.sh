#!/usr/bin/env bash
# Sets up, builds, and shows the launcher at work on a sample program folder:
# a VELNOR.INI whose BIBO entries point at an old place, and a stand-in
# velnor.exe that says it was started and prints the entries it sees.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$root/tools/setup.sh"
"$root/tools/build.sh" start velnor_standin >/dev/null

# Letters and digits only: a dot or a dash in the folder would stop entries
# from being recognised on a later start.
folder="$(mktemp -d /tmp/velnordemoXXXXXX)/Tools Suite"
mkdir -p "$folder"
cp "$root/build/start" "$root/build/standin/velnor.exe" "$folder/"
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

echo "Program folder: $folder"
echo
echo "VELNOR.INI before:"
show
echo
echo "\$ \"$folder/start\""
# The pipe stays open until the detached main program has finished printing.
"$folder/start" 2>&1 | sed 's/^/    /'
echo
echo "VELNOR.INI after:"
show
echo
echo "BIBOPATH4 is left alone: '(' and ')' can't stand in an entry's folder."
echo
before="$(stat -c '%y' "$folder/VELNOR.INI")"
"$folder/start" >/dev/null 2>&1
after="$(stat -c '%y' "$folder/VELNOR.INI")"
echo "A second start finds every entry up to date and writes nothing:"
echo "    modified $before before, $after after."
