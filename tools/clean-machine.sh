#!/usr/bin/env bash
# Takes back what the setup scripts changed on this machine, exactly as they
# recorded it in /var/lib/velnor-launcher/added (VELNOR_STATE names another
# folder), and nothing that was there before. Parts:
#   packages  the packages the setup installed, dependencies included. apt's
#             plan is shown first; one that would remove any other package
#             is refused, and nothing is removed
#   i386      the i386 architecture, where the setup added it
#   binfmt    the velnor-i386 handler through which qemu runs i386 programs
#             (gone after a reboot anyway)
#   sources   sources.list.d/velnor-launcher.sources (and its .tmp) and
#             velnor-launcher-src.sources, which earlier versions of the
#             setup wrote into the machine's apt; its lists are refreshed after
#   cache     the project's cache folder, velnor-launcher/ in VELNOR_CACHE
#             (default /var/cache): the Qt builds, the project's apt lists and
#             the Russian locale the Wine tests use. Removed only if marked as
#             the project's
# With no part named, all of them.
#   bash tools/clean-machine.sh [packages] [i386] [binfmt] [sources] [cache]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/packages.sh"

usage() { echo "usage: $0 [packages] [i386] [binfmt] [sources] [cache]" >&2; exit 2; }
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(packages i386 binfmt sources cache)
for part in "${parts[@]}"; do
    case "$part" in packages|i386|binfmt|sources|cache) ;; *) usage ;; esac
done

recorded() { awk -v kind="$1" '$1 == kind { print $2 }' "$velnor_added" 2>/dev/null || true; }
forget() { # kind name...
    local kind=$1 kept
    shift
    [ -f "$velnor_added" ] || return 0
    kept=$(awk -v kind="$kind" -v names=" $* " '!($1 == kind && index(names, " " $2 " "))' "$velnor_added")
    if [ -n "$kept" ]; then
        printf '%s\n' "$kept" | "${sudo[@]}" tee "$velnor_added" >/dev/null
    else
        "${sudo[@]}" rm -f "$velnor_added"
        "${sudo[@]}" rmdir "$velnor_state" 2>/dev/null || true
    fi
}
native=$(dpkg --print-architecture)
# Package names as apt prints them: without the machine's own architecture.
plain_names() { sed "s/:$native\$//"; }

take_back_packages() {
    local added present plan others
    added=$(recorded package | plain_names | sort -u)
    present=$(comm -12 <(printf '%s\n' "$added") <(installed_packages | plain_names | sort -u))
    if [ -z "$present" ]; then
        [ -z "$added" ] || forget package $added
        return 0
    fi
    # shellcheck disable=SC2086
    plan=$(LC_ALL=C apt-get "${machine_apt_opts[@]}" -s purge $present | awk '$1 == "Purg" || $1 == "Remv" { print $2 }' | sort -u)
    echo "Removing the packages the setup installed: $(tr '\n' ' ' <<<"$plan")"
    others=$(comm -23 <(printf '%s\n' "$plan") <(printf '%s\n' "$added"))
    if [ -n "$others" ]; then
        echo "Refused: apt would also remove packages the setup didn't install:" >&2
        sed 's/^/  /' <<<"$others" >&2
        echo "Nothing was removed. Remove the setup's packages by hand, or keep them." >&2
        exit 1
    fi
    # shellcheck disable=SC2086
    apt_get "${machine_apt_opts[@]}" purge -y -qq $present >/dev/null
    forget package $added
}
take_back_i386() {
    [ -n "$(recorded architecture | grep -x i386)" ] || return 0
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        forget architecture i386
        return 0
    fi
    if dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null | grep -q '^[ih]i.* .*:i386$'; then
        echo "The i386 architecture stays: i386 packages the setup didn't install need it." >&2
        return 0
    fi
    echo "Removing the i386 architecture"
    "${sudo[@]}" dpkg --remove-architecture i386
    forget architecture i386
    apt_update
}
take_back_binfmt() {
    [ -n "$(recorded binfmt | grep -x velnor-i386)" ] || return 0
    if [ -e "$velnor_binfmt" ]; then
        echo "Removing the binfmt handler $velnor_binfmt"
        echo -1 | "${sudo[@]}" tee "$velnor_binfmt" >/dev/null
    fi
    forget binfmt velnor-i386
}
take_back_sources() {
    local file removed=0
    for file in "$machine_apt_etc"/sources.list.d/velnor-launcher{.sources,.sources.tmp,-src.sources}; do
        [ -e "$file" ] || continue
        echo "Removing $file"
        "${sudo[@]}" rm -f "$file"
        removed=1
    done
    [ "$removed" = 0 ] || apt_update
}
take_back_cache() {
    [ -e "$velnor_cache" ] || return 0
    if [ ! -f "$velnor_cache/$velnor_cache_mark" ] && ! cache_is_unmarked_ours; then
        echo "$velnor_cache stays: it holds files this project didn't make." >&2
        return 0
    fi
    echo "Removing $velnor_cache"
    "${sudo[@]}" rm -rf "$velnor_cache"
}

# Always in this order: the architecture goes after its packages.
for part in packages i386 binfmt sources cache; do
    if [[ " ${parts[*]} " == *" $part "* ]]; then "take_back_$part"; fi
done
