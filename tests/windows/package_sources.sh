#!/usr/bin/env bash
# Checks what tools/package-sources.sh makes of a machine's package sources:
# for each case an apt configuration folder of its own (the machine's files,
# the script's own file as an earlier run left it, and the release and index
# files apt would have fetched: which URI and suite is Debian's, which Qt
# source is offered), then the script's file afterwards, as "type URI suites"
# per entry with Signed-By and Trusted where set, whether apt's lists were
# refreshed, the foreign architectures, the exit status and what it said.
# apt-get is a stand-in that only notes that it ran (except `indextargets`,
# which the real one answers from the case's lists), and so is dpkg for the
# architectures; apt-cache is the real one, reading the case's lists.
#   package_sources.sh <tools/package-sources.sh>
set -uo pipefail
script=$1
pin=$(dirname "$script")/qt-pin.txt
# As another user the script would go through sudo, which finds the real tools.
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
work=$(mktemp -d /tmp/velnor-sources.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir "$work/bin"
cat > "$work/bin/apt-get" <<'EOF'
#!/bin/sh
for arg; do [ "$arg" = indextargets ] && exec /usr/bin/apt-get "$@"; done
echo "$*" >> "$CASE/apt-get.calls"
case " $* " in *" update "*) [ ! -e "$CASE/update-fails" ] || { echo "E: Failed to fetch"; exit 100; } ;; esac
EOF
cat > "$work/bin/dpkg" <<'EOF'
#!/bin/sh
case "$1" in
    --print-foreign-architectures) cat "$CASE/archs" 2>/dev/null ;;
    --add-architecture) echo "$2" >> "$CASE/archs" ;;
    --remove-architecture) grep -vx "$2" "$CASE/archs" > "$CASE/archs.new"; mv "$CASE/archs.new" "$CASE/archs" ;;
    *) exec /usr/bin/dpkg "$@" ;;
esac
EOF
chmod 755 "$work/bin/apt-get" "$work/bin/dpkg"

pin_version=$(awk '$1 == "version" { print $2 }' "$pin")
pin_sha256=$(awk '$1 == "dsc-sha256" { print $2 }' "$pin")
arch=$(/usr/bin/dpkg --print-architecture)
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

debian_sources="Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: $keyring

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: $keyring
"
stanza() {
    printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$1" "$2" "$3" "${4:-$keyring}"
}
# What apt fetched for Debian 12's usual entries: URI,suite,origin[,codename].
debian_lists="http://deb.debian.org/debian,bookworm,Debian http://deb.debian.org/debian,bookworm-updates,Debian
http://deb.debian.org/debian-security,bookworm-security,Debian"
all_four="deb-src http://deb.debian.org/debian bookworm bookworm-updates $keyring
deb-src http://deb.debian.org/debian-security bookworm-security $keyring
deb http://deb.debian.org/debian bookworm-backports $keyring"
all_three=$(head -n 2 <<<"$all_four")

# The script's file as "type URI suites signed-by trusted" lines, or "(none)".
entries_of() {
    [ -f "$1" ] || { echo "(none)"; return; }
    awk 'BEGIN { RS = ""; FS = "\n" } {
        line = ""
        for (i = 1; i <= NF; i++) {
            if ($i ~ /^(Types|URIs|Suites|Signed-By|Trusted):/) { sub(/^[^:]*: */, "", $i); line = line (line == "" ? "" : " ") $i }
            else if ($i ~ /^ /) line = line "|" substr($i, 2)
        }
        print line }' "$1"
}
# A fetched release: its release file and an index in the lists folder, and
# the source index with the pinned Qt (or the qtbase records in $sources_index).
fetched() { # lists folder, URI, suite, origin, codename
    local name
    name=$(sed -e 's|^[a-z]*://||' -e 's|/*$||' -e 's|/|_|g' <<<"$2")_dists_$3
    printf 'Origin: %s\nLabel: %s\nSuite: %s\nCodename: %s\n' "$4" "$4" "$3" "$5" > "$1/${name}_InRelease"
    : > "$1/${name}_main_binary-${arch}_Packages"
    printf '%s\n' "$sources_index" > "$1/${name}_main_source_Sources"
}
qt_record() { # version, .dsc SHA-256
    printf 'Package: qtbase-opensource-src\nBinary: libqt5core5a\nVersion: %s\nMaintainer: Debian Qt/KDE Maintainers <debian-qt-kde@lists.debian.org>\nArchitecture: any\nFormat: 3.0 (quilt)\nDirectory: pool/main/q/qtbase-opensource-src\nChecksums-Sha256:\n %s 5467 qtbase-opensource-src_%s.dsc\n' "$1" "$2" "$1"
}

failures=0
# check NAME EXPECTED REFRESHED [option=value ...] -- [file=content ...]
# Options: qemu=0|1 (default 1), args= (the script's arguments), lists= (what
# apt fetched, default Debian 12's usual ones), archs= (foreign architectures
# before, one per line), want_archs= (after, default as before), fails=1 (the
# update fails), status= (exit status, default 0), says= (a line of its output),
# qt= (the qtbase records offered, default the pinned one).
check() {
    local name=$1 expected=$2 refresh=$3
    shift 3
    local qemu=1 args="" lists=$debian_lists archs="" want_archs=unset fails=0 want_status=0 says="" qt
    qt=$(qt_record "$pin_version" "$pin_sha256")
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case "$1" in
            qemu=*) qemu=${1#*=} ;; args=*) args=${1#*=} ;; lists=*) lists=${1#*=} ;;
            archs=*) archs=${1#*=} ;; want_archs=*) want_archs=${1#*=} ;; fails=*) fails=${1#*=} ;;
            status=*) want_status=${1#*=} ;; says=*) says=${1#*=} ;; qt=*) qt=${1#*=} ;;
            *) echo "bad option $1"; exit 2 ;;
        esac
        shift
    done
    shift
    [ "$want_archs" != unset ] || want_archs=$archs
    local etc="$work/$name" item entry
    mkdir -p "$etc/sources.list.d" "$etc/lists/partial"
    for item in "$@"; do
        printf '%s' "${item#*=}" > "$etc/${item%%=*}"
    done
    local sources_index=$qt
    for entry in $lists; do
        IFS=, read -r uri suite origin codename <<<"$entry"
        fetched "$etc/lists" "$uri" "$suite" "${origin//_/ }" "${codename:-$suite}"
    done
    [ -z "$archs" ] || printf '%s\n' "$archs" > "$etc/archs"
    [ "$fails" = 0 ] || : > "$etc/update-fails"
    local before output status=0
    before=$(cat "$etc/sources.list.d/velnor-launcher.sources" 2>/dev/null)
    output=$(CASE="$etc" PATH="$work/bin:$PATH" VELNOR_APT_ETC="$etc" VELNOR_NEED_QEMU="$qemu" \
        bash "$script" $args 2>&1) || status=$?
    local got refreshed=no got_archs
    got=$(entries_of "$etc/sources.list.d/velnor-launcher.sources")
    grep -qE '(^| )update( |$)' "$etc/apt-get.calls" 2>/dev/null && refreshed=yes
    got_archs=$(cat "$etc/archs" 2>/dev/null)
    if [ "$status" -ne "$want_status" ] || [ "$got" != "$expected" ] || [ "$refreshed" != "$refresh" ] \
        || [ "$got_archs" != "$want_archs" ] || { [ -n "$says" ] && ! grep -qF -- "$says" <<<"$output"; } \
        || [ -e "$etc/sources.list.d/velnor-launcher-src.sources" ] || [ -n "$(find "$etc" -name '*.tmp')" ]; then
        printf 'FAIL %s (exit %s, expected %s)\n  expected (refreshed: %s, architectures: %s):\n%s\n  got (refreshed: %s, architectures: %s):\n%s\n  output:\n%s\n' \
            "$name" "$status" "$want_status" "$refresh" "$want_archs" "$expected" "$refreshed" "$got_archs" "$got" "$output"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

check debian12-fresh "$all_four" yes -- \
    "sources.list.d/debian.sources=$debian_sources"

# Backports only where qemu runs the i386 programs.
check debian12-no-qemu "$all_three" yes qemu=0 -- \
    "sources.list.d/debian.sources=$debian_sources"

check already-right "$all_four" no -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')

$(stanza deb-src http://deb.debian.org/debian-security bookworm-security)

$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

# Written while another file had the source entries, which was removed since;
# and backports that qemu no longer needs go.
check other-deb-src-gone "$all_three" yes qemu=0 -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

# Everything elsewhere, in the one-line format with options and comments: the
# script's file goes.
check all-elsewhere-one-line "(none)" yes -- \
    "sources.list=deb [arch=amd64] http://deb.debian.org/debian bookworm main # the archive
deb-src http://deb.debian.org/debian bookworm main contrib
deb-src http://deb.debian.org/debian bookworm-updates main
  deb http://deb.debian.org/debian/ bookworm-backports main
" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

check all-elsewhere-nothing-to-do "(none)" no lists="http://deb.debian.org/debian,bookworm,Debian" -- \
    "sources.list=deb http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian bookworm-backports main
"

# A mirror with a keyring of its own: the entries come from it, with its
# keyring; no security entry, so no source entry for it either. Its entry
# names the suite "oldstable", which the release file says is bookworm.
check mirror-own-keyring "deb-src http://mirror.example/debian bookworm bookworm-updates /etc/apt/keyrings/mirror.gpg
deb http://mirror.example/debian bookworm-backports /etc/apt/keyrings/mirror.gpg" yes \
    lists="http://mirror.example/debian,oldstable,Debian,bookworm http://mirror.example/debian,bookworm-updates,Debian" -- \
    "sources.list.d/mirror.sources=$(stanza deb http://mirror.example/debian 'oldstable bookworm-updates' /etc/apt/keyrings/mirror.gpg)
"

# A third party's repository whose suite is bookworm, in a .list file (read
# before the .sources files), with its own source entries: none of it counts
# or is taken as a base; its keyring never reaches the script's file.
check third-party-bookworm "$all_four" yes \
    lists="$debian_lists http://vendor.example/apt,bookworm,Vendor" -- \
    "sources.list.d/vendor.list=deb [signed-by=/usr/share/keyrings/vendor.gpg] http://vendor.example/apt bookworm main
deb-src [signed-by=/usr/share/keyrings/vendor.gpg] http://vendor.example/apt bookworm main
" \
    "sources.list.d/debian.sources=$debian_sources"

# Trusted and a key written into the entry itself are carried over as they are.
check inline-key-trusted "deb-src http://deb.debian.org/debian bookworm bookworm-updates |-----BEGIN PGP PUBLIC KEY BLOCK-----|.|mDMEZ|-----END PGP PUBLIC KEY BLOCK----- yes" yes \
    qemu=0 lists="http://deb.debian.org/debian,bookworm,Debian" -- \
    "sources.list.d/debian.sources=Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Trusted: yes
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mDMEZ
 -----END PGP PUBLIC KEY BLOCK-----
"

# Entries that don't count: disabled, commented out, another component, and
# the earlier benchmark script's own file, which goes.
check entries-that-dont-count "$all_four" yes -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/off.sources=Enabled: no
$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
" \
    "sources.list.d/other.list=# deb-src http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates contrib
" \
    "sources.list.d/velnor-launcher-src.sources=$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
"

# Only what is missing is added: bookworm's source entries exist, those of
# bookworm-updates don't.
check partly-there "deb-src http://deb.debian.org/debian bookworm-updates $keyring
deb-src http://deb.debian.org/debian-security bookworm-security $keyring
deb http://deb.debian.org/debian bookworm-backports $keyring" yes -- \
    "sources.list.d/debian.sources=$debian_sources
$(stanza deb-src http://deb.debian.org/debian bookworm)
"

# The i386 architecture for Wine, added once.
check i386-added "$all_four" yes args=--i386 want_archs=i386 -- \
    "sources.list.d/debian.sources=$debian_sources"
check i386-there "(none)" no args=--i386 archs=i386 -- \
    "sources.list=deb http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian bookworm-backports main
"

# apt can't refresh its lists after the changes: the file and the
# architectures are as they were, and the script says why.
check rolled-back-new "(none)" yes args=--i386 fails=1 status=1 says="Putting the previous package sources back" -- \
    "sources.list.d/debian.sources=$debian_sources"
check rolled-back-rewrite "deb http://deb.debian.org/debian bookworm-backports $keyring" yes \
    args=--i386 archs=armhf fails=1 status=1 says="apt-get update failed after these changes" -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

# No Debian entry at all (only a third party's bookworm): nothing is written.
check no-debian-entry "(none)" yes status=1 says="None of apt's entries is Debian's own bookworm" \
    lists="http://vendor.example/apt,bookworm,Vendor" -- \
    "sources.list.d/vendor.list=deb [signed-by=/usr/share/keyrings/vendor.gpg] http://vendor.example/apt bookworm main
"

# apt already refuses the machine's sources (one URI and suite, two keyrings):
# said, and nothing written on top.
check apt-refuses "(none)" no status=1 says="apt can't read the machine's package sources" -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list=deb-src [signed-by=/usr/share/keyrings/other.gpg] http://deb.debian.org/debian bookworm main
"

# The pinned Qt source: another version only, or the pinned version with
# another .dsc, is refused with what to do.
check pin-not-offered "$all_four" yes status=1 says="move the pin" \
    qt="$(qt_record 5.15.8+dfsg-11+deb12u9 0000000000000000000000000000000000000000000000000000000000000000)" -- \
    "sources.list.d/debian.sources=$debian_sources"
check pin-other-dsc "$all_four" yes status=1 says="a .dsc other than the pinned one" \
    qt="$(qt_record "$pin_version" 1111111111111111111111111111111111111111111111111111111111111111)" -- \
    "sources.list.d/debian.sources=$debian_sources"

# tools/clean-machine.sh takes back the script's files and the cache, and
# leaves the machine's own entries as they are.
etc="$work/clean"
mkdir -p "$etc/sources.list.d" "$etc/lists" "$work/cache/qt5-win32-x"
printf '%s' "$debian_sources" > "$etc/sources.list.d/debian.sources"
printf '%s\n' "$(stanza deb-src http://deb.debian.org/debian bookworm)" > "$etc/sources.list.d/velnor-launcher.sources"
printf '%s\n' "$(stanza deb-src http://deb.debian.org/debian bookworm)" > "$etc/sources.list.d/velnor-launcher-src.sources"
output=$(CASE="$etc" PATH="$work/bin:$PATH" VELNOR_APT_ETC="$etc" VELNOR_CACHE="$work/cache" \
    bash "$(dirname "$script")/clean-machine.sh" sources cache 2>&1)
if [ "$(ls "$etc/sources.list.d")" != debian.sources ] || [ "$(cat "$etc/sources.list.d/debian.sources")" != "${debian_sources%$'\n'}" ] \
    || ! grep -qE '(^| )update( |$)' "$etc/apt-get.calls" 2>/dev/null || [ -e "$work/cache" ]; then
    printf 'FAIL clean-machine: left %s, cache %s\n%s\n' "$(ls "$etc/sources.list.d" | tr '\n' ' ')" \
        "$([ -e "$work/cache" ] && echo kept || echo removed)" "$output"
    failures=$((failures + 1))
else
    echo "ok   clean-machine"
fi

# The Qt cache's folder: named after the pin, and another one for another
# version of a toolchain package (dpkg-query a stand-in that reports them).
mkdir "$work/toolchain"
printf '#!/bin/sh\nshift 2\nfor p; do echo "ii  $p=${VERSION_OF_MINGW:-1}"; done\n' > "$work/toolchain/dpkg-query"
chmod 755 "$work/toolchain/dpkg-query"
prefix_with() {
    PATH="$work/toolchain:$PATH" VERSION_OF_MINGW=$1 VELNOR_CACHE="$work/qt-cache" \
        bash "$(dirname "$script")/build-qt.sh" win32 --print-prefix 2>&1
}
first=$(prefix_with 10.0.0-3) again=$(prefix_with 10.0.0-3) upgraded=$(prefix_with 10.0.0-4)
if [[ "$first" != "$work/qt-cache/qt5-win32-$pin_version-"* ]] || [ "$first" != "$again" ] || [ "$first" = "$upgraded" ]; then
    printf 'FAIL cache key: %s, again %s, upgraded toolchain %s\n' "$first" "$again" "$upgraded"
    failures=$((failures + 1))
else
    echo "ok   cache key: the pin's version in the name, another folder for another toolchain"
fi

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
