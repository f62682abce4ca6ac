#!/usr/bin/env bash
# Checks what tools/package-sources.sh makes of a machine's package sources:
# for each case an apt configuration folder of its own (the machine's files,
# the project's own file as an earlier run left it in the case's cache, and
# the release and index files apt would have fetched: which URI and suite is
# Debian's, which Qt source is offered), then the project's file afterwards,
# as "type URI suites" per entry with Signed-By and Trusted where set,
# whether the project's lists were refreshed, the foreign architectures, the
# exit status and what it said; and in every case the machine's apt folder
# exactly as it was. Then what tools/clean-machine.sh takes back of a record.
# apt-get is a stand-in that notes that it ran (except `indextargets`, which
# the real one answers from the case's lists) and "fetches" the case's lists
# into the project's; dpkg is one for the architectures; apt-cache is the
# real one, reading the lists.
#   machine_setup.sh <tools/package-sources.sh>
set -uo pipefail
script=$1
pin=$(dirname "$script")/qt-pin.txt
# As another user the script would go through sudo, which finds the real tools.
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
work=$(mktemp -d /tmp/velnor-sources.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir "$work/bin"
cat > "$work/bin/apt-get" <<'EOF'
#!/bin/bash
for arg; do [ "$arg" = indextargets ] && exec /usr/bin/apt-get "$@"; done
echo "$*" >> "$CASE/apt-get.calls"
case " $* " in
    *" -s purge "*) cat "$CASE/plan" 2>/dev/null ;;
    *" update "*)
        if [ -e "$CASE/locked" ]; then
            rm "$CASE/locked"
            # As apt says it in the caller's language.
            case "${LC_ALL:-}" in
                ru_RU*) echo "E: Не удалось получить доступ к файлу блокировки /var/lib/apt/lists/lock" ;;
                *) echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 1 (apt-get)" ;;
            esac
            exit 100
        fi
        if [ -e "$CASE/update-fails" ]; then
            # apt only warns, and succeeds, unless told otherwise.
            case " $* " in
                *" --error-on=any "*) echo "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease"; exit 100 ;;
                *) echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease"; exit 0 ;;
            esac
        fi
        lists=$(sed -n 's/.*Dir::State::Lists=\([^ ]*\).*/\1/p' <<<"$*")
        [ -z "$lists" ] || [ "$lists" = "$CASE/lists" ] || cp "$CASE"/lists/*_* "$lists"/ 2>/dev/null || true
        ;;
esac
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
# The i386 probe's folder that can't be written.
cat > "$work/bin/mktemp" <<'EOF'
#!/bin/sh
case "$*" in *i386-probe*) [ -z "${PROBE_FAILS:-}" ] || { echo "mktemp: Read-only file system" >&2; exit 1; } ;; esac
exec /usr/bin/mktemp "$@"
EOF
chmod 755 "$work/bin/apt-get" "$work/bin/dpkg" "$work/bin/mktemp"

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
# The project's entries: sources, and with qemu what installing it needs.
all_three="deb-src http://deb.debian.org/debian bookworm bookworm-updates $keyring
deb-src http://deb.debian.org/debian-security bookworm-security $keyring"
all_four="$all_three
deb http://deb.debian.org/debian bookworm bookworm-updates bookworm-backports $keyring
deb http://deb.debian.org/debian-security bookworm-security $keyring"

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
# The machine's own apt files, which no case may change.
machine_files() { (cd "$1" && find sources.list sources.list.d -type f -exec sha256sum {} + 2>/dev/null | sort); }
# check NAME EXPECTED REFRESHED [option=value ...] -- [file=content ...]
# Options: qemu=0|1 (default 1; empty: the probe decides), args= (the script's
# arguments), lists= (what apt fetched, default Debian 12's usual ones),
# archs= (foreign architectures before, one per line), want_archs= (after,
# default as before), fails=1 (every update fails), locked=1 (the first update
# finds the lists locked), locale= (LC_ALL), probe_fails=1 (the i386 probe
# can't be made), status= (exit status, default 0), says= (a line of its
# output), not_says= (a line it must not say), qt= (the qtbase records
# offered, default the pinned one), fetched=1 (the project's lists fetched
# by an earlier run). Files are named from the case's folder;
# the project's cache is cache/ there.
check() {
    local name=$1 expected=$2 refresh=$3
    shift 3
    local qemu=1 args="" lists=$debian_lists archs="" want_archs=unset fails=0 want_status=0 says="" not_says=""
    local locked=0 locale=C.UTF-8 probe_fails="" own_lists=0 qt
    qt=$(qt_record "$pin_version" "$pin_sha256")
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case "$1" in
            qemu=*) qemu=${1#*=} ;; args=*) args=${1#*=} ;; lists=*) lists=${1#*=} ;;
            archs=*) archs=${1#*=} ;; want_archs=*) want_archs=${1#*=} ;; fails=*) fails=${1#*=} ;;
            status=*) want_status=${1#*=} ;; says=*) says=${1#*=} ;; not_says=*) not_says=${1#*=} ;;
            qt=*) qt=${1#*=} ;; locked=*) locked=${1#*=} ;; locale=*) locale=${1#*=} ;;
            probe_fails=*) probe_fails=${1#*=} ;; fetched=*) own_lists=${1#*=} ;;
            *) echo "bad option $1"; exit 2 ;;
        esac
        shift
    done
    shift
    [ "$want_archs" != unset ] || want_archs=$archs
    local etc="$work/$name" item entry
    local own="$etc/cache/velnor-launcher/apt/sources.list.d/velnor-launcher.sources"
    mkdir -p "$etc/sources.list.d" "$etc/lists/partial"
    for item in "$@"; do
        mkdir -p "$(dirname "$etc/${item%%=*}")"
        printf '%s' "${item#*=}" > "$etc/${item%%=*}"
    done
    local sources_index=$qt
    for entry in $lists; do
        IFS=, read -r uri suite origin codename <<<"$entry"
        fetched "$etc/lists" "$uri" "$suite" "${origin//_/ }" "${codename:-$suite}"
    done
    [ -z "$archs" ] || printf '%s\n' "$archs" > "$etc/archs"
    [ "$fails" = 0 ] || : > "$etc/update-fails"
    [ "$locked" = 0 ] || : > "$etc/locked"
    if [ "$own_lists" = 1 ]; then
        mkdir -p "$etc/cache/velnor-launcher/apt/lists"
        cp "$etc"/lists/*_* "$etc/cache/velnor-launcher/apt/lists/"
    fi
    local before output status=0
    before=$(machine_files "$etc")
    output=$(CASE="$etc" PATH="$work/bin:$PATH" VELNOR_APT_ETC="$etc" VELNOR_CACHE="$etc/cache" \
        VELNOR_NEED_QEMU="$qemu" VELNOR_STATE="$etc/state" PROBE_FAILS="$probe_fails" LC_ALL="$locale" \
        bash "$script" $args 2>&1) || status=$?
    local got refreshed=no got_archs
    got=$(entries_of "$own")
    grep -E 'velnor-launcher/apt/lists .*(^| )update( |$)' "$etc/apt-get.calls" >/dev/null 2>&1 && refreshed=yes
    got_archs=$(cat "$etc/archs" 2>/dev/null)
    if [ "$status" -ne "$want_status" ] || [ "$got" != "$expected" ] || [ "$refreshed" != "$refresh" ] \
        || [ "$got_archs" != "$want_archs" ] || { [ -n "$says" ] && ! grep -qF -- "$says" <<<"$output"; } \
        || { [ -n "$not_says" ] && grep -qF -- "$not_says" <<<"$output"; } \
        || [ "$(machine_files "$etc")" != "$before" ] || [ -n "$(find "$etc" -name '.velnor-launcher.sources.*')" ]; then
        printf 'FAIL %s (exit %s, expected %s)\n  expected (refreshed: %s, architectures: %s):\n%s\n  got (refreshed: %s, architectures: %s):\n%s\n  machine files before:\n%s\n  after:\n%s\n  output:\n%s\n' \
            "$name" "$status" "$want_status" "$refresh" "$want_archs" "$expected" "$refreshed" "$got_archs" "$got" \
            "$before" "$(machine_files "$etc")" "$output"
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

project_file="$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')

$(stanza deb-src http://deb.debian.org/debian-security bookworm-security)

$(stanza deb http://deb.debian.org/debian 'bookworm bookworm-updates bookworm-backports')

$(stanza deb http://deb.debian.org/debian-security bookworm-security)
"
check already-right "$all_four" no fetched=1 -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "cache/velnor-launcher/apt/sources.list.d/velnor-launcher.sources=$project_file"

# The machine's entry changed its key after a run: the project's file follows
# it, and the machine's apt, which never reads that file, has no two keys for
# one suite to refuse.
check signed-by-changed "$all_four" yes -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "cache/velnor-launcher/apt/sources.list.d/velnor-launcher.sources=${project_file//$keyring//etc/apt/keyrings/old.gpg}"

# Backports that qemu no longer needs go.
check backports-no-longer-needed "$all_three" yes qemu=0 -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "cache/velnor-launcher/apt/sources.list.d/velnor-launcher.sources=$project_file"

# The one-line format with options and comments; the machine's own backports
# entry is taken as it is.
check one-line-format "deb-src http://deb.debian.org/debian bookworm bookworm-updates
deb http://deb.debian.org/debian bookworm bookworm-backports" yes -- \
    "sources.list=deb [arch=amd64] http://deb.debian.org/debian bookworm main # the archive
deb-src http://deb.debian.org/debian bookworm main contrib
deb-src http://deb.debian.org/debian bookworm-updates main
  deb http://deb.debian.org/debian/ bookworm-backports main
"

# The machine's own source entries don't stand in for the project's: apt
# reads those only from the project's own state.
check machine-has-sources "deb-src http://deb.debian.org/debian bookworm bookworm-updates" yes qemu=0 \
    lists="http://deb.debian.org/debian,bookworm,Debian" -- \
    "sources.list=deb http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian bookworm-backports main
"

# A mirror with a keyring of its own: the entries come from it, with its
# keyring; no security entry, so no source entry for it either. Its entry
# names the suite "oldstable", which the release file says is bookworm.
check mirror-own-keyring "deb-src http://mirror.example/debian bookworm bookworm-updates /etc/apt/keyrings/mirror.gpg
deb http://mirror.example/debian oldstable bookworm-updates bookworm-backports /etc/apt/keyrings/mirror.gpg" yes \
    lists="http://mirror.example/debian,oldstable,Debian,bookworm http://mirror.example/debian,bookworm-updates,Debian" -- \
    "sources.list.d/mirror.sources=$(stanza deb http://mirror.example/debian 'oldstable bookworm-updates' /etc/apt/keyrings/mirror.gpg)
"

# A third party's repository whose suite is bookworm, in a .list file (read
# before the .sources files), with its own source entries: none of it counts
# or is taken as a base; its keyring never reaches the project's file.
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
# an earlier setup's own file in the machine's apt, which is named, not touched.
check entries-that-dont-count "$all_four" yes says="clean-machine.sh sources removes it" -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/off.sources=Enabled: no
$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
" \
    "sources.list.d/other.list=# deb-src http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates contrib
" \
    "sources.list.d/velnor-launcher-src.sources=$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
"

# The i386 architecture for Wine, added once.
check i386-added "$all_four" yes args=--i386 want_archs=i386 -- \
    "sources.list.d/debian.sources=$debian_sources"
check i386-there "$all_three" yes args=--i386 archs=i386 qemu=0 -- \
    "sources.list.d/debian.sources=$debian_sources"

# apt can't refresh its lists after adding i386: the architecture goes again.
check i386-rolled-back "(none)" no args=--i386 fails=1 status=1 says="removing it again" -- \
    "sources.list.d/debian.sources=$debian_sources"
# The project's lists can't be fetched: said, and its file goes, to be
# written and fetched anew on the next run.
check project-lists-fail "(none)" yes archs=armhf fails=1 status=1 says="could not be fetched" -- \
    "sources.list.d/debian.sources=$debian_sources" \
    "cache/velnor-launcher/apt/sources.list.d/velnor-launcher.sources=$project_file"

# Offline on a fresh machine: said as such, not as a missing Debian entry.
check offline "(none)" no lists= fails=1 status=100 says="could not fetch its package lists" \
    not_says="None of apt's entries" -- \
    "sources.list.d/debian.sources=$debian_sources"

# Another apt holds the lists, in a Russian session: waited for.
check lock-in-russian "$all_four" yes locked=1 locale=ru_RU.UTF-8 says="Waiting for another apt" -- \
    "sources.list.d/debian.sources=$debian_sources"

# No Debian entry at all (only a third party's bookworm): nothing is written.
check no-debian-entry "(none)" no status=1 says="None of apt's entries is Debian's own bookworm" \
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

# --- The cache: the project's own folder inside the one named, chowned alone ---
here_tools=$(dirname "$script")
# cache_case NAME EXPECTED-CHOWN STATUS SAYS SETUP-COMMAND: prepare_cache as a
# user with sudo (id, sudo and chown stand-ins), in $work/NAME/shared.
cache_case() {
    local name=$1 want_chown=$2 want_status=$3 says=$4 shared="$work/$1/shared" status=0 output
    mkdir -p "$work/$name/bin" "$shared"
    printf '#!/bin/sh\ncase "$1" in -u|-g) echo 1000 ;; *) exec /usr/bin/id "$@" ;; esac\n' >"$work/$name/bin/id"
    printf '#!/bin/sh\nexec "$@"\n' >"$work/$name/bin/sudo"
    printf '#!/bin/sh\necho "$*" >>"%s/chown.calls"\n' "$work/$name" >"$work/$name/bin/chown"
    chmod 755 "$work/$name/bin"/*
    eval "$5"
    output=$(PATH="$work/$name/bin:$PATH" VELNOR_CACHE="$shared" \
        bash -c 'source "$1/packages.sh"; prepare_cache' _ "$here_tools" 2>&1) || status=$?
    local got_chown
    got_chown=$(cat "$work/$name/chown.calls" 2>/dev/null)
    if [ "$status" != "$want_status" ] || [ "$got_chown" != "$want_chown" ] || ! grep -qF -- "$says" <<<"$output" \
        || [ "$(stat -c %U "$shared/theirs")" != nobody ]; then
        printf 'FAIL %s: exit %s (expected %s), chown "%s" (expected "%s"), theirs owned by %s\n%s\n' "$name" \
            "$status" "$want_status" "$got_chown" "$want_chown" "$(stat -c %U "$shared/theirs")" "$output"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}
cache_case shared-folder "-R 1000:1000 $work/shared-folder/shared/velnor-launcher" 0 "" \
    'touch "$shared/theirs"; chown nobody "$shared/theirs"'
cache_case earlier-cache "-R 1000:1000 $work/earlier-cache/shared/velnor-launcher" 0 "" \
    'touch "$shared/theirs"; chown nobody "$shared/theirs"; mkdir -p "$shared/velnor-launcher/qt5-win32-x"'
cache_case not-ours "" 1 "holds files this project didn't make" \
    'touch "$shared/theirs"; chown nobody "$shared/theirs"; mkdir -p "$shared/velnor-launcher"; touch "$shared/velnor-launcher/photo.jpg"'

# The i386 probe that can't be made stops the setup: it is no answer.
status=0
output=$(PATH="$work/bin:$PATH" PROBE_FAILS=1 VELNOR_CACHE="$work/probe" \
    bash -c 'source "$1/packages.sh"; if i386_runs; then echo runs; else echo "does not run"; fi' _ "$here_tools" 2>&1) \
    || status=$?
if [ "$status" = 1 ] && grep -qF "can't make the i386 probe" <<<"$output" && ! grep -q 'run' <<<"${output//probe/}"; then
    echo "ok   probe-fails"
else
    printf 'FAIL probe-fails: exit %s\n%s\n' "$status" "$output"
    failures=$((failures + 1))
fi

# --- tools/clean-machine.sh: exactly what the record names ---
# clean NAME PARTS STATUS SAYS WANT-RECORD WANT-ARCHS [option=value...]:
# options record= (the record before), archs= (before), plan= (what apt
# would remove), then shell code for the case's files ($etc, $cache).
clean() {
    local name=$1 parts=$2 want_status=$3 says=$4 want_record=$5 want_archs=$6 record="" archs="" plan=""
    shift 6
    while [ $# -gt 1 ]; do
        case "$1" in record=*) record=${1#*=} ;; archs=*) archs=${1#*=} ;; plan=*) plan=${1#*=} ;; esac
        shift
    done
    local etc="$work/clean-$name" status=0 output
    local cache="$etc/cache"
    mkdir -p "$etc/sources.list.d" "$etc/lists" "$etc/state"
    printf '%s' "$debian_sources" > "$etc/sources.list.d/debian.sources"
    [ -z "$record" ] || printf '%s\n' "$record" >"$etc/state/added"
    [ -z "$archs" ] || printf '%s\n' "$archs" >"$etc/archs"
    [ -z "$plan" ] || printf '%s\n' "$plan" >"$etc/plan"
    printf '#!/bin/sh\necho "$*" >>"%s/localedef.calls"\n' "$etc" >"$work/bin/localedef"
    chmod 755 "$work/bin/localedef"
    local extra_path=""
    eval "$1"
    # shellcheck disable=SC2086
    output=$(CASE="$etc" PATH="$extra_path$work/bin:$PATH" VELNOR_APT_ETC="$etc" VELNOR_CACHE="$cache" VELNOR_STATE="$etc/state" \
        bash "$here_tools/clean-machine.sh" $parts 2>&1) || status=$?
    local got_record got_archs
    got_record=$(cat "$etc/state/added" 2>/dev/null)
    got_archs=$(cat "$etc/archs" 2>/dev/null)
    if [ "$status" != "$want_status" ] || ! grep -qF -- "$says" <<<"$output" || [ "$got_record" != "$want_record" ] \
        || [ "$got_archs" != "$want_archs" ] || [ -e "$etc/localedef.calls" ] \
        || [ "$(cat "$etc/sources.list.d/debian.sources")" != "${debian_sources%$'\n'}" ] || ! eval "${CHECK:-true}"; then
        printf 'FAIL clean-%s: exit %s (expected %s), record "%s" (expected "%s"), architectures "%s" (expected "%s")\n%s\n' \
            "$name" "$status" "$want_status" "$got_record" "$want_record" "$got_archs" "$want_archs" "$output"
        failures=$((failures + 1))
    else
        echo "ok   clean-$name"
    fi
}
# An earlier setup's files in the machine's apt, and the marked cache, go;
# the machine's own entries stay.
CHECK='[ "$(ls "$etc/sources.list.d")" = debian.sources ] && [ ! -e "$cache/velnor-launcher" ] && grep -q " update " "$etc/apt-get.calls"' \
clean sources-and-cache "sources cache" 0 "Removing" "" "" \
    'printf x >"$etc/sources.list.d/velnor-launcher.sources"; printf x >"$etc/sources.list.d/velnor-launcher-src.sources"
     printf x >"$etc/sources.list.d/velnor-launcher.sources.tmp"
     mkdir -p "$cache/velnor-launcher/qt5-win32-x"; touch "$cache/velnor-launcher/.velnor-launcher-cache"'
# A cache named as a shared folder: only the project's folder in it goes.
CHECK='[ -e "$cache/theirs" ] && [ ! -e "$cache/velnor-launcher" ]' \
clean shared-cache cache 0 "Removing" "" "" \
    'mkdir -p "$cache/velnor-launcher"; touch "$cache/theirs" "$cache/velnor-launcher/.velnor-launcher-cache"'
CHECK='[ -e "$cache/velnor-launcher/photo.jpg" ]' \
clean unmarked-cache cache 0 "stays" "" "" \
    'mkdir -p "$cache/velnor-launcher"; touch "$cache/velnor-launcher/photo.jpg"'
# apt would remove a package the setup didn't install: nothing is removed.
CHECK='! grep -q "purge -y" "$etc/apt-get.calls"' \
clean packages-refused packages 1 "Refused" "package coreutils" "" record="package coreutils" \
    plan="Purg coreutils [9.1-1]
Remv dpkg [1.21]" true
CHECK='grep -q "purge -y -qq coreutils" "$etc/apt-get.calls"' \
clean packages-taken-back packages 0 "Removing the packages" "" "" record="package coreutils" \
    plan="Purg coreutils [9.1-1]" true
# i386 that was there before the setup, and the locales, stay.
CHECK='! grep -q "remove-architecture" "$etc/apt-get.calls" 2>/dev/null' \
clean i386-there-before "" 0 "" "" i386 archs=i386 true
# i386 the setup added, with no i386 package left: taken back.
CHECK=true \
clean i386-added i386 0 "Removing the i386 architecture" "" "" record="architecture i386" archs=i386 \
    'extra_path="$work/no-i386:"; mkdir -p "$work/no-i386"; printf "#!/bin/sh\nexit 0\n" >"$work/no-i386/dpkg-query"; chmod 755 "$work/no-i386/dpkg-query"'

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
if [[ "$first" != "$work/qt-cache/velnor-launcher/qt5-win32-$pin_version-"* ]] || [ "$first" != "$again" ] || [ "$first" = "$upgraded" ]; then
    printf 'FAIL cache key: %s, again %s, upgraded toolchain %s\n' "$first" "$again" "$upgraded"
    failures=$((failures + 1))
else
    echo "ok   cache key: the pin's version in the name, another folder for another toolchain"
fi

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
