#!/usr/bin/env bash
# Undoes what the setup scripts changed on this machine beyond installing
# packages (docs/windows-build.md lists it all), part by part:
#   sources  the package sources file sources.list.d/velnor-launcher.sources
#            (and an earlier script's velnor-launcher-src.sources); apt's
#            lists are refreshed after
#   binfmt   the velnor-i386 handler through which qemu runs i386 programs
#            (gone after a reboot anyway)
#   locale   the ru_RU.UTF-8 locale, unless /etc/locale.gen asks for it
#   cache    the Qt cache folder, VELNOR_CACHE (default /var/cache/velnor-launcher)
#   i386     every installed i386 package (32-bit Wine and what it pulled in),
#            then the i386 architecture: only if nothing else of yours needs it
# With no part named, all but i386.
#   bash tools/clean-machine.sh [sources] [binfmt] [locale] [cache] [i386]
# The packages the setup installed stay; `apt-get purge` removes them like
# any others (docs/windows-build.md names them).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/packages.sh"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(sources binfmt locale cache)
apt_etc="${VELNOR_APT_ETC:-/etc/apt}"
apt_opts=()
[ -z "${VELNOR_APT_ETC:-}" ] || apt_opts=(-o "Dir::Etc=$apt_etc" -o "Dir::State::Lists=$apt_etc/lists")

for part in "${parts[@]}"; do
    case "$part" in
        sources)
            removed=0
            for file in "$apt_etc/sources.list.d/velnor-launcher.sources" "$apt_etc/sources.list.d/velnor-launcher-src.sources"; do
                [ -e "$file" ] || continue
                echo "Removing $file"
                "${sudo[@]}" rm -f "$file"
                removed=1
            done
            [ "$removed" = 0 ] || apt_update "${apt_opts[@]}"
            ;;
        binfmt)
            if [ -e "$velnor_binfmt" ]; then
                echo "Removing the binfmt handler $velnor_binfmt"
                echo -1 | "${sudo[@]}" tee "$velnor_binfmt" >/dev/null
            fi
            ;;
        locale)
            if locale -a 2>/dev/null | grep -qix 'ru_RU.utf8' \
                && ! grep -qE '^[[:space:]]*ru_RU\.UTF-8[[:space:]]+UTF-8' /etc/locale.gen 2>/dev/null; then
                echo "Removing the locale ru_RU.UTF-8"
                "${sudo[@]}" localedef --delete-from-archive ru_RU.utf8
            fi
            ;;
        cache)
            if [ -e "$velnor_cache" ]; then
                echo "Removing $velnor_cache"
                "${sudo[@]}" rm -rf "$velnor_cache"
            fi
            ;;
        i386)
            if dpkg --print-foreign-architectures | grep -qx i386; then
                packages=$(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null \
                    | awk '$1 ~ /^[ih]i/ && $2 ~ /:i386$/ { print $2 }')
                if [ -n "$packages" ]; then
                    echo "Removing the i386 packages: $(tr '\n' ' ' <<<"$packages")"
                    # shellcheck disable=SC2086
                    apt_get purge -y -qq $packages >/dev/null
                fi
                echo "Removing the i386 architecture"
                "${sudo[@]}" dpkg --remove-architecture i386
                apt_update "${apt_opts[@]}"
            fi
            ;;
        *) echo "usage: $0 [sources] [binfmt] [locale] [cache] [i386]" >&2; exit 2 ;;
    esac
done
