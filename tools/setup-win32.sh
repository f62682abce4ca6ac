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

# --- Package sources: source packages and backports (for qemu), checked and
# repaired on every run by the script that builds Qt ---
bash "$root/tools/build-qt.sh" sources
sources_changed=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
    sources_changed=1
fi

packages=(cmake make dpkg-dev xz-utils python3 locales g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386)
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done

# The launcher's tests run 32-bit Windows programs through 32-bit Wine. Where
# the kernel can't run i386 code (ENOEXEC), qemu's user-mode emulator runs it;
# bookworm's qemu 7.2 is far too slow with Wine, the backported one is not.
need_qemu=0
# A minimal i386 program that only exits: whether it runs says whether this
# kernel (or a handler registered earlier) runs 32-bit x86 code.
i386_runs() {
    local probe status
    probe=$(mktemp)
    # ELF header, one loadable segment, then: mov eax, 1; xor ebx, ebx; int 0x80.
    printf '%b' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00' \
        '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
        '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe"
    chmod 755 "$probe"
    status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return "$status"
}
register_qemu_i386() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    [ ! -e "$binfmt/velnor-i386" ] || return 0
    # P keeps argv[0] as the caller gave it, F opens the emulator now so that
    # it is found from any mount namespace.
    printf '%s' ':velnor-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:PF' \
        | "${sudo[@]}" tee "$binfmt/register" >/dev/null
}

if ! i386_runs; then
    need_qemu=1
    qemu_ok=0
    if installed qemu-user; then
        case "$(dpkg-query -W -f='${Version}' qemu-user)" in 1:7.*|1:6.*|1:5.*) ;; *) qemu_ok=1 ;; esac
    fi
fi

if [ ${#missing[@]} -gt 0 ] || { [ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ]; } || [ "$sources_changed" = 1 ]; then
    echo "Installing packages for the Windows build: ${missing[*]} $([ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ] && echo qemu-user/bookworm-backports)"
    apt_get update -qq
    [ ${#missing[@]} -eq 0 ] || apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    if [ "$need_qemu" = 1 ] && [ "$qemu_ok" = 0 ]; then
        apt_get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
    fi
fi

if [ "$need_qemu" = 1 ]; then
    register_qemu_i386
    i386_runs || { echo "32-bit x86 programs don't run, even through qemu" >&2; exit 1; }
fi

# The tests give Wine the Russian locale, whose ANSI code page is Windows-1251.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
    "${sudo[@]}" localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

# --- Static QtCore for the target, cached by source version, compiler, flags
# and patch ---
bash "$root/tools/build-qt.sh" win32 >&3
