#!/usr/bin/env bash
# Configures a 32-bit Windows build of the launcher's sources, the one way
# every script here does it: MinGW's toolchain file, the static QtCore at
# QT-PREFIX named outright (a build folder configured earlier remembers the
# Qt it found), a build for size. Further arguments go to CMake.
#   tools/configure-win32.sh SOURCE-FOLDER BUILD-FOLDER QT-PREFIX [cmake arguments...]
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 SOURCE-FOLDER BUILD-FOLDER QT-PREFIX [cmake arguments...]" >&2; exit 2; }
source_dir=$1 build=$2 qt_prefix=$3
shift 3
cmake -S "$source_dir" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DQt5_DIR="$qt_prefix/lib/cmake/Qt5" -DQt5Core_DIR="$qt_prefix/lib/cmake/Qt5Core" "$@"
