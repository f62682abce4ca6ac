#!/usr/bin/env bash
# Builds `start` against a static, trimmed QtCore (no ICU, no glib: the kind of
# Qt the Windows executable is built with) to measure what such a build costs
# at start-up on Linux. QtCore comes from Debian's own qtbase source, is built
# once and cached outside the checkout; reruns only rebuild `start`, twice:
#   build-static-qt/start       QtCore static, the C and C++ runtimes shared
#   build-static-qt-full/start  everything static: no dynamic loader at all
#   bash bench/static-qt.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache=/var/cache/velnor-launcher

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)

need=(cmake make g++ perl python3 dpkg-dev qtbase5-dev)
missing=()
for package in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${apt[@]}" update -qq
    "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The same Qt version as the system's, from the same archive.
version="$(dpkg-query -W -f='${source:Version}' libqt5core5a)"
options=(-static -release -opensource -confirm-license -nomake examples -nomake tests
    -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-glib -no-openssl -no-zstd
    -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml
    -no-feature-testlib -no-feature-concurrent)
stamp="${version//[^A-Za-z0-9.]/_}-$(printf '%s\n' "${options[@]}" | sha256sum | cut -c1-8)"
prefix="$cache/qt5-linux-static-$stamp"
work="$cache/qt5-linux-static-$stamp.work"

"${sudo[@]}" mkdir -p "$cache"
"${sudo[@]}" chown "$(id -u):$(id -g)" "$cache"

build_qt() {
    # Source entries for the archive the binaries come from, added once.
    if ! apt-cache showsrc qtbase-opensource-src 2>/dev/null | grep -qx "Version: $version"; then
        list=/etc/apt/sources.list.d/velnor-launcher-src.sources
        if [ ! -e "$list" ]; then
            {
                printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\n'
                printf 'Suites: bookworm bookworm-updates\nComponents: main\n'
                printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n'
                printf 'Types: deb-src\nURIs: http://deb.debian.org/debian-security\n'
                printf 'Suites: bookworm-security\nComponents: main\n'
                printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
            } | "${sudo[@]}" tee "$list" >/dev/null
        fi
        "${apt[@]}" update -qq
    fi

    # An interrupted build resumes where it stopped.
    if [ ! -e "$work/.unpacked" ]; then
        rm -rf "$work"
        mkdir -p "$work/build"
        (cd "$work" && apt-get -o DPkg::Lock::Timeout=900 source -qq "qtbase-opensource-src=$version" >/dev/null)
        touch "$work/.unpacked"
    fi
    src="$(find "$work" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)"

    cd "$work/build"
    if [ ! -e .configured ]; then
        "$src/configure" -prefix "$prefix" "${options[@]}" > configure.log
        touch .configured
    fi
    # Only QtCore and the tools its CMake package names (qmake, moc, rcc).
    make sub-src-qmake_all >/dev/null
    make -j"$(nproc)" -C src sub-corelib sub-moc sub-rcc
    make -C src sub-corelib-install_subtargets sub-3rdparty-pcre2-install_subtargets \
        sub-moc-install_subtargets sub-rcc-install_subtargets
    make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs
    touch "$prefix/.complete"
    rm -rf "$work"
}

exec 9>"$cache/qt5-linux-static-$stamp.lock"
flock 9
[ -e "$prefix/.complete" ] || (build_qt)
flock -u 9

# glibc links statically with warnings about its name-service and dlopen
# calls, which Qt makes only for file owners' names and plugins: the launcher
# needs neither.
for variant in static-qt:"" static-qt-full:-static; do
    build="$root/build-${variant%%:*}"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DQt5_DIR="$prefix/lib/cmake/Qt5" \
        -DCMAKE_EXE_LINKER_FLAGS="${variant#*:}" \
        -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCHMARKS=OFF >/dev/null
    if ! cmake --build "$build" -j"$(nproc)" --target start >"$build/build.log" 2>&1; then
        cat "$build/build.log" >&2
        exit 1
    fi
    echo "$build/start"
done
