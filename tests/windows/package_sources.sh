#!/usr/bin/env bash
# Checks what `tools/build-qt.sh sources` makes of a machine's package sources:
# for each case an apt configuration folder of its own (the machine's files,
# the script's own file as an earlier run left it), then the script's file
# afterwards, as "type URI suites" per entry, and whether apt's lists were
# refreshed. apt-get is a stand-in that only notes that it ran.
#   package_sources.sh <tools/build-qt.sh>
set -uo pipefail
script=$1
# As another user the script would go through sudo, which finds the real apt-get.
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
work=$(mktemp -d /tmp/velnor-sources.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
printf '#!/bin/sh\necho "$*" >> "%s/apt-get.calls"\n' "$work" > "$work/bin/apt-get"
chmod 755 "$work/bin/apt-get"

debian_sources='Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
'
stanza() {
    printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$@"
}
all_three="deb-src http://deb.debian.org/debian bookworm bookworm-updates
deb-src http://deb.debian.org/debian-security bookworm-security
deb http://deb.debian.org/debian bookworm-backports"

# The script's file as "type URI suites" lines, or "(none)".
entries_of() {
    [ -f "$1" ] || { echo "(none)"; return; }
    awk '/^Types:/ {t = $2} /^URIs:/ {u = $2} /^Suites:/ {$1 = ""; print t, u substr($0, 1)}' "$1"
}

failures=0
# name | files to write (name=content, one per array item) | expected entries | refreshed?
check() {
    local name=$1 expected=$2 refresh=$3
    shift 3
    local etc="$work/$name" item
    mkdir -p "$etc/sources.list.d"
    for item in "$@"; do
        printf '%s' "${item#*=}" > "$etc/${item%%=*}"
    done
    rm -f "$work/apt-get.calls"
    local output status=0
    output=$(PATH="$work/bin:$PATH" VELNOR_APT_ETC="$etc" bash "$script" sources 2>&1) || status=$?
    local got refreshed=no
    got=$(entries_of "$etc/sources.list.d/velnor-launcher.sources")
    grep -qE '(^| )update( |$)' "$work/apt-get.calls" 2>/dev/null && refreshed=yes
    if [ "$status" -ne 0 ] || [ "$got" != "$expected" ] || [ "$refreshed" != "$refresh" ] \
        || [ -e "$etc/sources.list.d/velnor-launcher-src.sources" ]; then
        printf 'FAIL %s (exit %s)\n  expected (refreshed: %s):\n%s\n  got (refreshed: %s):\n%s\n  output:\n%s\n' \
            "$name" "$status" "$refresh" "$expected" "$refreshed" "$got" "$output"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

check debian12-fresh "$all_three" yes \
    "sources.list.d/debian.sources=$debian_sources"

check already-right "$all_three" no \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')

$(stanza deb-src http://deb.debian.org/debian-security bookworm-security)

$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

# Written while another file had the source entries, which was removed since.
check other-deb-src-gone "$all_three" yes \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

# Everything elsewhere, in the one-line format with options and comments: the
# script's file goes.
check all-elsewhere-one-line "(none)" yes \
    "sources.list=deb [arch=amd64] http://deb.debian.org/debian bookworm main # the archive
deb-src http://deb.debian.org/debian bookworm main contrib
deb-src http://deb.debian.org/debian bookworm-updates main
  deb http://deb.debian.org/debian bookworm-backports main
" \
    "sources.list.d/velnor-launcher.sources=$(stanza deb http://deb.debian.org/debian bookworm-backports)
"

check all-elsewhere-nothing-to-do "(none)" no \
    "sources.list=deb http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian bookworm-backports main
"

# A mirror: the entries come from the archive the binaries come from; no
# security entry, so no source entry for it either.
check mirror "deb-src http://mirror.example/debian bookworm bookworm-updates
deb http://mirror.example/debian bookworm-backports" yes \
    "sources.list.d/mirror.sources=$(stanza deb http://mirror.example/debian 'bookworm bookworm-updates')
"

# Entries that don't count: disabled, commented out, another component, and
# the earlier benchmark script's own file, which goes.
check entries-that-dont-count "$all_three" yes \
    "sources.list.d/debian.sources=$debian_sources" \
    "sources.list.d/off.sources=Enabled: no
$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
" \
    "sources.list.d/other.list=# deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates contrib
" \
    "sources.list.d/velnor-launcher-src.sources=$(stanza deb-src http://deb.debian.org/debian 'bookworm bookworm-updates')
"

# Only what is missing is added: bookworm's source entries exist, those of
# bookworm-updates don't.
check partly-there "deb-src http://deb.debian.org/debian bookworm-updates
deb-src http://deb.debian.org/debian-security bookworm-security
deb http://deb.debian.org/debian bookworm-backports" yes \
    "sources.list.d/debian.sources=$debian_sources
$(stanza deb-src http://deb.debian.org/debian bookworm)
"

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
