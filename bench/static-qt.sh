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

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)

need=(cmake make g++ qtbase5-dev)
missing=()
for package in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${apt[@]}" update -qq
    "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# QtCore built once from the pinned Debian source (tools/qt-pin.txt), and cached.
prefix="$(bash "$root/tools/build-qt.sh" linux)"

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
