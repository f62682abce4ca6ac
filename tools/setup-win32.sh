#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need, where it is missing,
# and builds a static QtCore for 32-bit Windows from Debian's qtbase source into
# a cache outside the checkout; later runs reuse everything already there.
# Progress goes to standard error; standard output gets only Qt's prefix.
set -euo pipefail
exec 3>&1 1>&2

cache="${VELNOR_CACHE:-/var/cache/velnor-launcher}"
qt_version=5.15.8
target=i686-w64-mingw32

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 "$@"
}
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# --- Package sources: source packages and backports of the archive in use ---
archive_uri() {
    local uri
    uri=$(grep -hsE '^\s*URIs:' /etc/apt/sources.list.d/*.sources | grep -v security | awk '{print $2}' | head -n1 || true)
    [ -n "$uri" ] || uri=$(grep -hsE '^\s*deb\s' /etc/apt/sources.list | grep -v security | awk '{print $2}' | head -n1 || true)
    echo "${uri:-http://deb.debian.org/debian}"
}
# Source packages (for qtbase) and backports (for qemu) of the archive in use,
# each added only where the machine doesn't have it yet.
sources_changed=0
list=/etc/apt/sources.list.d/velnor-launcher.sources
if [ ! -f "$list" ]; then
    uri=$(archive_uri)
    entries=""
    if ! grep -rqsE '^\s*(Types:.*deb-src|deb-src\s.*\sbookworm\s)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        entries+="Types: deb-src
URIs: $uri
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

"
    fi
    if ! grep -rqsE 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        entries+="Types: deb
URIs: $uri
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"
    fi
    if [ -n "$entries" ]; then
        printf '%s' "$entries" | "${sudo[@]}" tee "$list.tmp" >/dev/null
        "${sudo[@]}" mv "$list.tmp" "$list"
        sources_changed=1
    fi
fi
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

# --- The cross tools under one prefix ---
# Debian names the posix-thread compilers i686-w64-mingw32-g++-posix, while
# Qt's mkspec wants one prefix for compilers and binutils alike. The wrappers
# also put every function and datum in a section of its own, so that the
# launcher's link can drop what it doesn't use.
tools="$cache/mingw-bin"
"${sudo[@]}" mkdir -p "$tools"
for tool in gcc g++; do
    wrapper="$tools/$target-$tool"
    body="#!/bin/sh
exec /usr/bin/$target-$tool-posix -ffunction-sections -fdata-sections \"\$@\""
    if [ ! -x "$wrapper" ] || [ "$(cat "$wrapper")" != "$body" ]; then
        printf '%s\n' "$body" | "${sudo[@]}" tee "$wrapper" >/dev/null
        "${sudo[@]}" chmod 755 "$wrapper"
    fi
done
for tool in ar as ld nm objcopy objdump ranlib strip windres size c++filt; do
    [ -e "$tools/$target-$tool" ] || "${sudo[@]}" ln -s "/usr/bin/$target-$tool" "$tools/$target-$tool"
done

# --- Static QtCore for the target, cached by source version and flags ---
qt_flags=(-static -static-runtime -release -optimize-size -opensource -confirm-license
    -platform linux-g++ -xplatform win32-g++ -device-option "CROSS_COMPILE=$tools/$target-"
    -nomake examples -nomake tests -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-openssl
    -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
    -no-feature-concurrent -no-feature-big_codecs
    -no-feature-regularexpression -no-feature-topleveldomain -no-feature-itemmodel -no-feature-settings
    -no-feature-timezone -no-feature-datetimeparser -no-feature-easingcurve -no-feature-jalalicalendar
    -no-feature-hijricalendar -no-feature-islamiccivilcalendar)
qt_source_version() {
    apt-cache showsrc qtbase-opensource-src 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n1
}
source_version=$(qt_source_version)
if [ -z "$source_version" ]; then
    apt_get update -qq
    source_version=$(qt_source_version)
fi
[ -n "$source_version" ] || { echo "qtbase-opensource-src is not known to apt" >&2; exit 1; }
# Qt's copy of double-conversion lower-cases the letters of "inf", "nan" and
# "0x" through the C++ locale, which links all of libstdc++'s locale facets
# (about 600 KB) into the launcher; plain ASCII does the same for them.
qt_patch='s/static const std::ctype<char>& cType =\s*std::use_facet<std::ctype<char> >\(std::locale::classic\(\)\);\s*return cType.tolower\(ch\);/return ch >= \x27A\x27 && ch <= \x27Z\x27 ? char(ch - \x27A\x27 + \x27a\x27) : ch;/'
stamp_text="qtbase-opensource-src $source_version
$(cat "$tools/$target-g++")
$($target-g++-posix --version | head -n1)
${qt_flags[*]}
$qt_patch"
stamp_hash=$(printf '%s' "$stamp_text" | sha256sum | cut -c1-12)
prefix="$cache/qt5-win32-$stamp_hash"

built() {
    [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp_text" ]
}
if ! built; then
    # One build at a time: a second run waits for it and then finds it done.
    "${sudo[@]}" mkdir -p "$cache"
    exec 9>"$cache/qt5-win32-$stamp_hash.lock"
    flock 9
fi
if built; then
    echo "$prefix" > "$cache/qt5-win32.current"
    echo "$prefix" >&3
    exit 0
fi

echo "Building static QtCore $qt_version for $target into $prefix (about 10 minutes on 2 cores)"
work="$cache/work-$stamp_hash"
"${sudo[@]}" rm -rf "$work" "$prefix"
"${sudo[@]}" mkdir -p "$work/build"
(
    cd "$work"
    apt-get source -qq qtbase-opensource-src >/dev/null 2>&1 || apt-get source qtbase-opensource-src
    source_dir=$(find "$work" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
    conversion="$source_dir/src/3rdparty/double-conversion/double-conversion.cc"
    perl -0pi -e "$qt_patch" "$conversion"
    ! grep -q 'std::locale' "$conversion" || { echo "double-conversion: the locale patch no longer applies" >&2; exit 1; }
    cd "$work/build"
    "$source_dir/configure" -prefix "$prefix" "${qt_flags[@]}" > "$work/configure.log" 2>&1 \
        || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" > "$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
    make install > "$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
)
printf '%s' "$stamp_text" > "$prefix/.stamp"
echo "$prefix" > "$cache/qt5-win32.current"
rm -rf "$work"
echo "$prefix" >&3
