#!/usr/bin/env bash
# Brings the project's own apt sources (in the cache, apt/; the machine's apt
# never reads them) to what building start.exe needs, built only on the
# machine's own Debian entries:
#   - source packages (deb-src) of bookworm and bookworm-updates, and of
#     bookworm-security where the machine uses it: Qt's source;
#   - where 32-bit x86 programs need qemu, the machine's Debian entries and
#     bookworm-backports, from which qemu is installed;
#   - with --i386, the i386 architecture on the machine: 32-bit Wine. This is
#     its one change to the machine's package state, recorded for
#     tools/clean-machine.sh.
# Each entry takes the address, Signed-By and Trusted of the machine's entry
# for that suite whose release file says "Origin: Debian" (as `apt-get
# indextargets` reports it). Another repository is never a base, whatever
# suite it names. The project's file is rewritten where it differs from what
# is needed now, and its lists refreshed then; last, the Qt source pinned in
# tools/qt-pin.txt must be offered.
#   tools/package-sources.sh [--i386]
# VELNOR_APT_ETC: another apt configuration folder, its lists in lists/ (tests).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/packages.sh"

want_i386=0
case "${1:-}" in
    --i386) want_i386=1 ;;
    "") ;;
    *) echo "usage: $0 [--i386]" >&2; exit 2 ;;
esac

apt_etc="$machine_apt_etc"
apt_opts=("${machine_apt_opts[@]}")
sources_dir="$apt_etc/sources.list.d"
list="$velnor_apt_dir/sources.list.d/velnor-launcher.sources"
# Files of earlier versions of the setup, which wrote into the machine's apt.
legacy_lists=("$sources_dir/velnor-launcher.sources" "$sources_dir/velnor-launcher-src.sources")

# Every enabled entry for the main component outside our own files, one per
# line, tab-separated: type, URI, suite, Signed-By (newlines as \n), Trusted.
# Both the one-line and the deb822 format.
other_entries() {
    local files=() file
    for file in "$apt_etc/sources.list" "$sources_dir"/*.list; do
        [ -f "$file" ] && files+=("$file")
    done
    [ ${#files[@]} -eq 0 ] || awk '
        { sub(/#.*/, "") }
        $1 == "deb" || $1 == "deb-src" {
            line = $0; options = ""
            if (match(line, /\[[^]]*\]/)) {
                options = substr(line, RSTART + 1, RLENGTH - 2)
                line = substr(line, 1, RSTART - 1) " " substr(line, RSTART + RLENGTH)
            }
            n = split(line, f, " ")
            signed = ""; trusted = ""
            split(options, o, " ")
            for (i in o) {
                if (o[i] ~ /^signed-by=/) signed = substr(o[i], 11)
                if (o[i] ~ /^trusted=/) trusted = substr(o[i], 9)
            }
            for (i = 4; i <= n; i++)
                if (f[i] == "main") {
                    sub(/\/+$/, "", f[2])
                    printf "%s\t%s\t%s\t%s\t%s\n", f[1], f[2], f[3], signed, trusted
                    break
                }
        }' "${files[@]}"
    files=()
    for file in "$sources_dir"/*.sources; do
        case "$file" in "${legacy_lists[0]}"|"${legacy_lists[1]}") continue ;; esac
        [ -f "$file" ] && files+=("$file")
    done
    # Paragraph mode: one stanza per record; continuation lines join the
    # field, kept as lines for Signed-By (a key may stand there).
    [ ${#files[@]} -eq 0 ] || awk 'BEGIN { RS = ""; FS = "\n" }
        {
            split("", v); key = ""
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^[ \t]*#/) continue
                if ($i ~ /^[ \t]/ && key != "") {
                    v[key] = v[key] (key == "signed-by" ? "\\n" $i : " " $i)
                    continue
                }
                p = index($i, ":")
                if (!p) continue
                key = tolower(substr($i, 1, p - 1))
                v[key] = substr($i, p + 1)
                sub(/^[ \t]+/, "", v[key]); sub(/[ \t]+$/, "", v[key])
            }
            if (tolower(v["enabled"]) ~ /no/) next
            if (v["components"] !~ /(^|[ \t])main([ \t]|$)/) next
            nt = split(v["types"], t, " "); nu = split(v["uris"], u, " "); ns = split(v["suites"], s, " ")
            for (a = 1; a <= nt; a++) for (b = 1; b <= nu; b++) for (c = 1; c <= ns; c++) {
                uri = u[b]; sub(/\/+$/, "", uri)
                printf "%s\t%s\t%s\t%s\t%s\n", t[a], uri, s[c], v["signed-by"], v["trusted"]
            }
        }' "${files[@]}"
}

# What apt's release files say of each URI and suite it has fetched:
# URI, suite, origin, codename.
# apt refusing its sources as they are is said and ends the run: nothing
# written on top of them could work.
release_info() {
    local output
    if ! output=$(apt-get "${apt_opts[@]}" indextargets --format $'$(REPO_URI)\t$(RELEASE)\t$(ORIGIN)\t$(CODENAME)' 2>&1); then
        printf '%s\n' "$output" >&2
        echo "apt can't read the machine's package sources as they are; nothing was changed." >&2
        return 1
    fi
    sed 's|/*\t|\t|' <<<"$output" | sort -u
}

# What the project's file must hold, each entry like the machine's Debian one.
# Exits 3 when the machine has no Debian entry for bookworm.
desired_sources() {
    local need_backports=0 releases
    releases=$(release_info) || exit 1
    qemu_needed && need_backports=1
    awk -v backports="$need_backports" 'BEGIN { FS = "\t" }
        FILENAME == ARGV[1] {
            origin[$1, $2] = $3; codename[$1, $2] = $4
            if ($3 == "Debian") debian_uri[$1] = 1
            next
        }
        { n++; type[n] = $1; uri[n] = $2; suite[n] = $3; signed[n] = $4; trusted[n] = $5 }
        function base(c,   i) {
            for (i = 1; i <= n; i++) if (type[i] == "deb" && cn[i] == c) return i
            return 0
        }
        function add(t, s, from,   k) {
            k = t SUBSEP uri[from] SUBSEP signed[from] SUBSEP trusted[from]
            if (!(k in suites)) { order[++stanzas] = k; stanza_of[k] = from; stanza_type[k] = t }
            suites[k] = suites[k] (suites[k] == "" ? "" : " ") s
        }
        END {
            # A Debian archive: its release file says so; or, not fetched
            # yet, an address from which Debian releases were fetched.
            for (i = 1; i <= n; i++) {
                k = uri[i] SUBSEP suite[i]
                if (k in origin) cn[i] = (origin[k] == "Debian" || origin[k] == "Debian Backports") ? codename[k] : ""
                else cn[i] = (uri[i] in debian_uri) ? suite[i] : ""
            }
            main = base("bookworm")
            if (!main) exit 3
            add("deb-src", "bookworm", main)
            add("deb-src", "bookworm-updates", base("bookworm-updates") ? base("bookworm-updates") : main)
            if (base("bookworm-security")) add("deb-src", "bookworm-security", base("bookworm-security"))
            if (backports) {
                # What qemu depends on: from the Debian entries of the machine.
                for (i = 1; i <= n; i++) if (type[i] == "deb" && cn[i] != "") add("deb", suite[i], i)
                if (!base("bookworm-backports")) add("deb", "bookworm-backports", main)
            }
            for (j = 1; j <= stanzas; j++) {
                k = order[j]; i = stanza_of[k]
                if (j > 1) printf "\n"
                printf "Types: %s\nURIs: %s\nSuites: %s\nComponents: main\n", stanza_type[k], uri[i], suites[k]
                if (signed[i] != "") { s = signed[i]; gsub(/\\n/, "\n", s); printf "Signed-By: %s\n", s }
                if (trusted[i] != "") printf "Trusted: %s\n", trusted[i]
            }
        }' <(printf '%s\n' "$releases") <(other_entries)
}

want=""
compute() {
    want=$(desired_sources && echo .) || return
    want=${want%.}
}
status=0
compute || status=$?
if [ "$status" = 3 ]; then
    # No lists fetched yet (a fresh machine): the release files say nothing.
    echo "Updating apt's lists to see which entries are Debian's"
    apt_update
    status=0
    compute || status=$?
fi
if [ "$status" = 3 ]; then
    echo "None of apt's entries is Debian's own bookworm (a release file with Origin: Debian" >&2
    echo "and Codename: bookworm, for the main component). Add Debian's entry, e.g. in" >&2
    echo "$sources_dir/debian.sources:" >&2
    printf '  Types: deb\n  URIs: http://deb.debian.org/debian\n  Suites: bookworm bookworm-updates\n  Components: main\n  Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >&2
    echo "then run this again." >&2
    exit 1
elif [ "$status" != 0 ]; then
    exit "$status"
fi

for file in "${legacy_lists[@]}" "${legacy_lists[0]}.tmp"; do
    [ ! -e "$file" ] || echo "Note: $file is an earlier setup's and no longer needed: bash tools/clean-machine.sh sources removes it." >&2
done

# --- The i386 architecture, taken back when apt can't refresh its lists then ---
if [ "$want_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (for 32-bit Wine): updating apt's lists"
    "${sudo[@]}" dpkg --add-architecture i386
    if ! apt_update; then
        echo "apt-get update failed after adding the i386 architecture; removing it again." >&2
        "${sudo[@]}" dpkg --remove-architecture i386
        apt_update || echo "apt-get update fails without it too: see apt's messages above." >&2
        exit 1
    fi
    record_added architecture i386
fi

# --- The project's own sources, written whole and then refreshed ---
prepare_cache
mkdir -p "$velnor_apt_dir/sources.list.d" "$velnor_apt_dir/lists/partial" "$velnor_apt_dir/cache/archives/partial"
rm -f "$velnor_apt_dir/sources.list.d"/.velnor-launcher.sources.*
private_refreshed=0
if [ ! -f "$list" ] || [ "$(cat "$list"; echo .)" != "$want." ] \
    || [ -z "$(find "$velnor_apt_dir/lists" -maxdepth 1 -name '*Release' -print -quit)" ]; then
    echo "Updating the project's package lists in $velnor_apt_dir"
    temporary=$(mktemp "$velnor_apt_dir/sources.list.d/.velnor-launcher.sources.XXXXXX")
    printf '%s' "$want" >"$temporary"
    chmod 644 "$temporary"
    mv "$temporary" "$list"
    if ! velnor_apt_update; then
        # Refreshed again on the next run.
        rm -f "$list"
        echo "The source packages' lists could not be fetched; the machine's apt is as it was." >&2
        exit 1
    fi
    private_refreshed=1
fi

# --- The pinned Qt source must be on offer, as pinned ---
pin() { awk -v key="$1" '$1 == key { print $2 }' "$here/qt-pin.txt"; }
pin_version=$(pin version)
pin_sha256=$(pin dsc-sha256)
# "version SHA-256 of its .dsc" for each qtbase source apt knows.
offered() {
    { apt-cache "${velnor_apt_opts[@]}" showsrc qtbase-opensource-src 2>/dev/null || true; } | awk '
        /^Package:/ { field = ""; version = "" }
        /^Version:/ { version = $2 }
        /^[A-Za-z0-9-]+:/ { field = $1 }
        field == "Checksums-Sha256:" && $3 ~ /\.dsc$/ { print version, $1 }' | sort -u
}
versions=$(offered)
if ! grep -q "^$pin_version " <<<"$versions" && [ "$private_refreshed" = 0 ]; then
    velnor_apt_update
    versions=$(offered)
fi
if ! grep -q "^$pin_version " <<<"$versions"; then
    echo "Qt's source is pinned to qtbase-opensource-src $pin_version (tools/qt-pin.txt)," >&2
    echo "which apt's sources don't offer. They offer:" >&2
    sed 's/^\([^ ]*\) \(.*\)/  \1 (.dsc SHA-256 \2)/' <<<"${versions:-(none)}" >&2
    echo "To build with one of these, move the pin: put its version and .dsc SHA-256 in" >&2
    echo "tools/qt-pin.txt, as the comment there says." >&2
    exit 1
fi
if ! grep -qx "$pin_version $pin_sha256" <<<"$versions"; then
    echo "apt offers qtbase-opensource-src $pin_version with a .dsc other than the pinned one:" >&2
    grep "^$pin_version " <<<"$versions" | sed 's/^[^ ]* /  SHA-256 /' >&2
    echo "  pinned: $pin_sha256 (tools/qt-pin.txt)" >&2
    echo "The same version with other contents is refused; check where it comes from." >&2
    exit 1
fi
