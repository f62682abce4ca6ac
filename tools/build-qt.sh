#!/usr/bin/env bash
# Builds a static QtCore from Debian's own qtbase source, at the version and
# .dsc checksum pinned in tools/qt-pin.txt, into a cache outside the checkout,
# once per source, toolchain packages, configure flags and patch, and prints
# its prefix on standard output (progress goes to standard error):
#
#   tools/build-qt.sh win32     QtCore for 32-bit Windows (i686-w64-mingw32),
#                               trimmed to what start.exe uses
#   tools/build-qt.sh linux     QtCore for x86-64 Linux without ICU and glib,
#                               for measuring such a build at start-up
#
# --print-prefix after the target prints the prefix without building.
# The cache is velnor-launcher/ in VELNOR_CACHE (default /var/cache).
#
# Every run checks the package sources (tools/package-sources.sh). A cached Qt
# counts only with a stamp naming exactly what it was built from, written
# after its install; anything else in the cache is built again from scratch.
# Nothing of the cache's or the build's folders goes into the Windows QtCore:
# its compiled-in prefix is a fixed one, and the compiler maps the build
# folder to ".", so the same pin and toolchain give the same library in any
# cache. Prefixes unused for 30 days and folders of failed builds are removed.
set -euo pipefail
exec 3>&1 1>&2
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

target_name="${1:-}"
print_prefix=0
[ "${2:-}" != --print-prefix ] || print_prefix=1
case "$target_name" in
    win32|linux) ;;
    *) echo "usage: $0 win32|linux [--print-prefix]" >&2; exit 2 ;;
esac

source "$here/packages.sh"
cache="$velnor_cache"

[ "$print_prefix" = 1 ] || bash "$here/package-sources.sh"

# --- What each target is built from ---
pin() { awk -v key="$1" '$1 == key { print $2 }' "$here/qt-pin.txt"; }
source_version=$(pin version)
dsc_sha256=$(pin dsc-sha256)
[ -n "$source_version" ] && [ -n "$dsc_sha256" ] || { echo "$here/qt-pin.txt names no version and dsc-sha256" >&2; exit 1; }
qt_version=${source_version#*:}
qt_version=${qt_version%%[+-]*}

if [ "$target_name" = win32 ]; then
    target=i686-w64-mingw32
    packages=(g++ make perl dpkg-dev xz-utils g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
    # Whatever goes into the library: an upgrade of any of them builds Qt anew.
    toolchain=(gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix gcc-mingw-w64-base
        mingw-w64-i686-dev mingw-w64-common binutils-mingw-w64-i686)
else
    target=x86_64-linux-gnu
    packages=(g++ make perl dpkg-dev xz-utils)
    toolchain=(gcc-12 g++-12 cpp-12 libstdc++-12-dev libgcc-12-dev libc6-dev binutils)
fi
if [ "$print_prefix" = 0 ]; then
    missing=()
    for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing what building Qt needs: ${missing[*]}"
        apt_update
        apt_install "${missing[@]}"
    fi
fi
toolchain_versions=$({ dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}=${Version}\n' "${toolchain[@]}" 2>/dev/null || true; } \
    | awk '$1 == "ii" { printf "%s ", $2 }')

if [ "$target_name" = win32 ]; then
    # Debian names the posix-thread compilers i686-w64-mingw32-g++-posix,
    # while Qt's mkspec wants one prefix for compilers and binutils alike:
    # wrappers in the build folder, found through PATH. They also put every
    # function and datum in a section of its own, so that the launcher's link
    # can drop what it doesn't use, and map the build folder to ".".
    wrapper_flags='-ffunction-sections -fdata-sections -ffile-prefix-map=<build folder>=.'
    qt_flags=(-static -static-runtime -release -optimize-size -opensource -confirm-license
        -prefix "/usr/local/Qt-$qt_version"
        -platform linux-g++ -xplatform win32-g++ -device-option "CROSS_COMPILE=$target-"
        -nomake examples -nomake tests -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-openssl
        -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
        -no-feature-concurrent -no-feature-big_codecs
        -no-feature-regularexpression -no-feature-topleveldomain -no-feature-itemmodel -no-feature-settings
        -no-feature-timezone -no-feature-datetimeparser -no-feature-easingcurve -no-feature-jalalicalendar
        -no-feature-hijricalendar -no-feature-islamiccivilcalendar)
    # Qt's copy of double-conversion lower-cases the letters of "inf", "nan"
    # and "0x" through the C++ locale, which links all of libstdc++'s locale
    # facets (about 600 KB) into the launcher; plain ASCII does the same.
    qt_patch='s/static const std::ctype<char>& cType =\s*std::use_facet<std::ctype<char> >\(std::locale::classic\(\)\);\s*return cType.tolower\(ch\);/return ch >= \x27A\x27 && ch <= \x27Z\x27 ? char(ch - \x27A\x27 + \x27a\x27) : ch;/'
    patched_file=src/3rdparty/double-conversion/double-conversion.cc
    compiler_line="$($target-g++-posix --version 2>/dev/null | head -n1 || true)"
else
    wrapper_flags=""
    qt_flags=(-static -release -opensource -confirm-license -nomake examples -nomake tests
        -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-glib -no-openssl -no-zstd
        -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml
        -no-feature-testlib -no-feature-concurrent)
    qt_patch=""
    patched_file=""
    compiler_line="$(g++ --version | head -n1)"
fi

stamp_text="qtbase-opensource-src $source_version
dsc-sha256 $dsc_sha256
toolchain $toolchain_versions
compiler $compiler_line $wrapper_flags
${qt_flags[*]}
$qt_patch"
stamp_hash=$(printf '%s' "$stamp_text" | sha256sum | cut -c1-12)
name="qt5-$target_name-$source_version-$stamp_hash"
prefix="$cache/$name"

if [ "$print_prefix" = 1 ]; then
    echo "$prefix" >&3
    exit 0
fi

prepare_cache
built() {
    [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp_text" ]
}
# Prefixes not used for 30 days and folders of builds that failed (no build
# holds their lock, nothing written in them for two hours). The wrappers an
# earlier version of this script kept in mingw-bin/ stay: a build by that
# version may be using them.
prune() {
    local entry
    touch "$prefix"
    find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'qt5-*' ! -path "$prefix" -mtime +30 \
        -exec rm -rf {} + 2>/dev/null || true
    for entry in "$cache"/work-*/; do
        entry=${entry%/}
        [ -d "$entry" ] && [ -z "$(find "$entry" -newermt '2 hours ago' -print -quit)" ] || continue
        (flock -n 9 && rm -rf "$entry") 9>>"$entry.lock" || true
    done
}
done_with() {
    prune
    printf '%s\n' "$prefix" > "$cache/qt5-$target_name.current.tmp"
    mv "$cache/qt5-$target_name.current.tmp" "$cache/qt5-$target_name.current"
    echo "$prefix" >&3
    exit 0
}
built && done_with
# One build at a time: a second run waits for it and then finds it done.
work="$cache/work-$stamp_hash"
exec 9>>"$work.lock"
flock 9
built && done_with

echo "Building static QtCore $qt_version ($source_version) for $target into $prefix (about 15 minutes on 2 cores)"
rm -rf "$work" "$prefix"
mkdir -p "$work/build" "$work/bin"
(
    cd "$work"
    dsc="qtbase-opensource-src_${source_version#*:}.dsc"
    velnor_apt source -qq --download-only "qtbase-opensource-src=$source_version" >/dev/null 2>&1 \
        || velnor_apt source --download-only "qtbase-opensource-src=$source_version"
    got=$(sha256sum "$dsc" | cut -d' ' -f1)
    [ "$got" = "$dsc_sha256" ] || { echo "$dsc has SHA-256 $got, tools/qt-pin.txt pins $dsc_sha256" >&2; exit 1; }
    # Checks the tarballs against the .dsc.
    dpkg-source -x "$dsc" >/dev/null 2>&1 || dpkg-source -x "$dsc"
    source_dir=$(find "$work" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
    if [ -n "$qt_patch" ]; then
        perl -0pi -e "$qt_patch" "$source_dir/$patched_file"
        ! grep -q 'std::locale' "$source_dir/$patched_file" \
            || { echo "$patched_file: the patch no longer applies" >&2; exit 1; }
    fi
    install_to=(-prefix "$prefix")
    if [ "$target_name" = win32 ]; then
        printf -v flags '%q ' ${wrapper_flags%%-ffile-prefix-map*} "-ffile-prefix-map=$work=."
        for tool in gcc g++; do
            printf '#!/bin/sh\nexec /usr/bin/%s %s"$@"\n' "$target-$tool-posix" "$flags" > "$work/bin/$target-$tool"
            chmod 755 "$work/bin/$target-$tool"
        done
        for tool in ar as ld nm objcopy objdump ranlib strip windres size c++filt; do
            ln -s "/usr/bin/$target-$tool" "$work/bin/$target-$tool"
        done
        export PATH="$work/bin:$PATH"
        # Installed into the cache; the prefix in the flags is what QtCore
        # says of itself.
        install_to=(-extprefix "$prefix")
    fi
    cd "$work/build"
    "$source_dir/configure" "${qt_flags[@]}" "${install_to[@]}" > "$work/configure.log" 2>&1 \
        || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    if [ "$target_name" = win32 ]; then
        make -j"$(nproc)" > "$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
        make install > "$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
    else
        # Only QtCore and the tools its CMake package names (qmake, moc, rcc).
        {
            make sub-src-qmake_all &&
            make -j"$(nproc)" -C src sub-corelib sub-moc sub-rcc &&
            make -C src sub-corelib-install_subtargets sub-3rdparty-pcre2-install_subtargets \
                sub-moc-install_subtargets sub-rcc-install_subtargets &&
            make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs
        } > "$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
    fi
    # The licence record of exactly this source, for the release zip.
    install -D -m 644 "$source_dir/debian/copyright" "$prefix/share/doc/qtbase/copyright"
)
printf '%s' "$stamp_text" > "$prefix/.stamp"
rm -rf "$work"
done_with
