#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need, where it is missing,
# and builds a static QtCore for 32-bit Windows from Debian's qtbase source into
# a cache outside the checkout (tools/build-qt.sh); later runs reuse everything
# already there.
# Progress goes to standard error; standard output gets only Qt's prefix.
set -euo pipefail
exec 3>&1 1>&2
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

source "$root/tools/packages.sh"

# --- The project's package sources (source packages, backports where qemu is
# needed) and the i386 architecture, checked and repaired on every run ---
bash "$root/tools/package-sources.sh" --i386

# git, osslsigncode and openssl: the release's tests; g++: the file of the
# launcher's numbers that the Wine tests read.
packages=(cmake make g++ dpkg-dev xz-utils python3 locales git osslsigncode openssl g++-mingw-w64-i686-posix
    binutils-mingw-w64-i686 wine wine32:i386)
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done

# The launcher's tests run 32-bit Windows programs through 32-bit Wine. Where
# the kernel can't run i386 code (ENOEXEC), qemu's user-mode emulator runs it;
# bookworm's qemu 7.2 is far too slow with Wine, the backported one is not.
need_qemu=0
qemu_ok=0
if qemu_needed; then
    need_qemu=1
    if installed qemu-user; then
        case "$(dpkg-query -W -f='${Version}' qemu-user)" in 1:7.*|1:6.*|1:5.*) ;; *) qemu_ok=1 ;; esac
    fi
fi
register_qemu_i386() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    [ ! -e "$velnor_binfmt" ] || return 0
    # P keeps argv[0] as the caller gave it, F opens the emulator now so that
    # it is found from any mount namespace.
    record_added binfmt velnor-i386
    printf '%s' ':velnor-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:PF' \
        | "${sudo[@]}" tee "$binfmt/register" >/dev/null
}

if [ ${#missing[@]} -gt 0 ] || { [ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ]; }; then
    echo "Installing packages for the Windows build: ${missing[*]} $([ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ] && echo qemu-user/bookworm-backports)"
    apt_update
    [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
    if [ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ]; then
        # Through the project's lists, which alone hold backports.
        apt_install "${velnor_apt_opts[@]}" -t bookworm-backports qemu-user
        "${sudo[@]}" rm -f "$velnor_apt_dir"/cache/archives/*.deb
    fi
fi

if [ "$need_qemu" = 1 ]; then
    register_qemu_i386
    i386_runs || { echo "32-bit x86 programs don't run, even through qemu" >&2; exit 1; }
fi

# The tests give Wine the Russian locale, whose ANSI code page is Windows-1251:
# made in the cache, found through LOCPATH; the machine's locales stay.
if [ ! -f "$velnor_locales/ru_RU.UTF-8/LC_CTYPE" ]; then
    rm -rf "$velnor_locales/ru_RU.UTF-8"
    mkdir -p "$velnor_locales"
    localedef -i ru_RU -f UTF-8 "$velnor_locales/ru_RU.UTF-8"
fi

# --- Static QtCore for the target, cached by the pinned source, the
# toolchain's packages, flags and patch ---
bash "$root/tools/build-qt.sh" win32 >&3
