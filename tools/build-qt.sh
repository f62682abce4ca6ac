#!/usr/bin/env bash
# Builds a static QtCore from Debian's own qtbase source into a cache outside
# the checkout, once per source version, compiler, configure flags and patch,
# and prints its prefix on standard output (progress goes to standard error):
#
#   tools/build-qt.sh win32     QtCore for 32-bit Windows (i686-w64-mingw32),
#                               trimmed to what start.exe uses
#   tools/build-qt.sh linux     QtCore for x86-64 Linux without ICU and glib,
#                               for measuring such a build at start-up
#   tools/build-qt.sh sources   only bring the package sources up to date
#                               (tools/package-sources.sh)
#
# --print-prefix after the target prints the prefix without building.
# VELNOR_CACHE names another cache folder (default /var/cache/velnor-launcher).
#
# Every run checks the package sources the build needs
# (tools/package-sources.sh). A cached Qt counts only with a stamp
# naming exactly what it was built from, written after its install; anything
# else in the cache is built again from scratch.
set -euo pipefail
exec 3>&1 1>&2

target_name="${1:-}"
print_prefix=0
[ "${2:-}" != --print-prefix ] || print_prefix=1
case "$target_name" in
    win32|linux|sources) ;;
    *) echo "usage: $0 win32|linux|sources [--print-prefix]" >&2; exit 2 ;;
esac

cache="${VELNOR_CACHE:-/var/cache/velnor-launcher}"

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

# The package sources Qt's source comes from, checked and repaired.
[ "$target_name" = sources ] || bash "$(dirname "${BASH_SOURCE[0]}")/package-sources.sh"
[ "$target_name" != sources ] || exec bash "$(dirname "${BASH_SOURCE[0]}")/package-sources.sh"

# --- What each target is built from ---
qt_version=5.15.8
"${sudo[@]}" mkdir -p "$cache"
if [ ${#sudo[@]} -gt 0 ]; then "${sudo[@]}" chown "$(id -u):$(id -g)" "$cache"; fi

newest_source_version() {
    { apt-cache showsrc qtbase-opensource-src 2>/dev/null || true; } \
        | awk '/^Version:/ {print $2}' | sort -V | tail -n1
}
source_known() {
    { apt-cache showsrc qtbase-opensource-src 2>/dev/null || true; } | grep -qx "Version: $1"
}

if [ "$target_name" = win32 ]; then
    target=i686-w64-mingw32
    packages=(g++ make perl dpkg-dev xz-utils g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
else
    target=x86_64-linux-gnu
    packages=(g++ make perl dpkg-dev xz-utils)
fi
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing what building Qt needs: ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$target_name" = win32 ]; then
    # Debian names the posix-thread compilers i686-w64-mingw32-g++-posix,
    # while Qt's mkspec wants one prefix for compilers and binutils alike. The
    # wrappers also put every function and datum in a section of its own, so
    # that the launcher's link can drop what it doesn't use.
    tools="$cache/mingw-bin"
    mkdir -p "$tools"
    for tool in gcc g++; do
        wrapper="$tools/$target-$tool"
        body="#!/bin/sh
exec /usr/bin/$target-$tool-posix -ffunction-sections -fdata-sections \"\$@\""
        if [ ! -x "$wrapper" ] || [ "$(cat "$wrapper")" != "$body" ]; then
            printf '%s\n' "$body" > "$wrapper.tmp"
            chmod 755 "$wrapper.tmp"
            mv "$wrapper.tmp" "$wrapper"
        fi
    done
    for tool in ar as ld nm objcopy objdump ranlib strip windres size c++filt; do
        [ "$(readlink "$tools/$target-$tool" || true)" = "/usr/bin/$target-$tool" ] \
            || ln -sfn "/usr/bin/$target-$tool" "$tools/$target-$tool"
    done

    qt_flags=(-static -static-runtime -release -optimize-size -opensource -confirm-license
        -platform linux-g++ -xplatform win32-g++ -device-option "CROSS_COMPILE=$tools/$target-"
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
    compiler_lines="$(cat "$tools/$target-g++")
$($target-g++-posix --version | head -n1)"
    # The newest source the archive has.
    source_version=$(newest_source_version)
    if [ -z "$source_version" ]; then
        apt_get update -qq
        source_version=$(newest_source_version)
    fi
else
    qt_flags=(-static -release -opensource -confirm-license -nomake examples -nomake tests
        -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-glib -no-openssl -no-zstd
        -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml
        -no-feature-testlib -no-feature-concurrent)
    qt_patch=""
    patched_file=""
    compiler_lines="$(command -v g++)
$(g++ --version | head -n1)"
    # The same source as the system's Qt, where that is installed.
    source_version=$(dpkg-query -W -f='${source:Version}' libqt5core5a 2>/dev/null || true)
    if [ -z "$source_version" ]; then
        source_version=$(newest_source_version)
    fi
    if [ -z "$source_version" ] || ! source_known "$source_version"; then
        apt_get update -qq
        [ -n "$source_version" ] || source_version=$(newest_source_version)
    fi
fi
[ -n "$source_version" ] || { echo "qtbase-opensource-src is not known to apt" >&2; exit 1; }

stamp_text="qtbase-opensource-src $source_version
$compiler_lines
${qt_flags[*]}
$qt_patch"
stamp_hash=$(printf '%s' "$stamp_text" | sha256sum | cut -c1-12)
name="qt5-$target_name-$stamp_hash"
prefix="$cache/$name"

if [ "$print_prefix" = 1 ]; then
    echo "$prefix" >&3
    exit 0
fi

built() {
    [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp_text" ]
}
done_with() {
    echo "$prefix" > "$cache/qt5-$target_name.current"
    echo "$prefix" >&3
    exit 0
}
built && done_with
# One build at a time: a second run waits for it and then finds it done.
exec 9>"$cache/$name.lock"
flock 9
built && done_with

echo "Building static QtCore $qt_version ($source_version) for $target into $prefix (about 10 minutes on 2 cores)"
work="$cache/work-$stamp_hash"
rm -rf "$work" "$prefix"
mkdir -p "$work/build"
(
    cd "$work"
    apt-get source -qq "qtbase-opensource-src=$source_version" >/dev/null 2>&1 \
        || apt-get source "qtbase-opensource-src=$source_version"
    source_dir=$(find "$work" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
    if [ -n "$qt_patch" ]; then
        perl -0pi -e "$qt_patch" "$source_dir/$patched_file"
        ! grep -q 'std::locale' "$source_dir/$patched_file" \
            || { echo "$patched_file: the patch no longer applies" >&2; exit 1; }
    fi
    cd "$work/build"
    "$source_dir/configure" -prefix "$prefix" "${qt_flags[@]}" > "$work/configure.log" 2>&1 \
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
)
printf '%s' "$stamp_text" > "$prefix/.stamp"
rm -rf "$work"
done_with
