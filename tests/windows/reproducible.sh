#!/usr/bin/env bash
# Builds start.exe a second time from a copy of the sources in another folder,
# with the same toolchain, build type and Qt, and checks that the two files
# are the same byte for byte: nothing of the build's folder or time may end
# up in the executable.
#   reproducible.sh <start.exe> <source folder> <toolchain file> <build type> <Qt5Core_DIR>
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 <start.exe> <source folder> <toolchain file> <build type> <Qt5Core_DIR>" >&2; exit 2; }
exe=$1 source=$2 toolchain=$3 build_type=$4 qt_core_dir=$5
[ -f "$exe" ] || { echo "$exe: no such file (build start first)" >&2; exit 1; }

work=$(mktemp -d /tmp/velnor-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The sources as the first build saw them: the working tree's tracked and
# new files, without what git ignores (the build folders).
mkdir "$work/copy"
(
    cd "$source"
    git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
        [ ! -f "$file" ] || cp --parents -p "$file" "$work/copy/"
    done
)
[ -f "$work/copy/CMakeLists.txt" ] || { echo "no sources copied from $source" >&2; exit 1; }

qt_prefix=$(cd "$qt_core_dir/../../.." && pwd)
cmake -S "$work/copy" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE="$build_type" -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DQt5_DIR="$qt_prefix/lib/cmake/Qt5" -DQt5Core_DIR="$qt_core_dir" >"$work/configure.log" \
    || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j"$(nproc)" --target start >"$work/build.log" 2>&1 \
    || { cat "$work/build.log"; exit 1; }

first=$(sha256sum <"$exe" | cut -d' ' -f1)
second=$(sha256sum <"$work/build/start.exe" | cut -d' ' -f1)
echo "$first  $exe"
echo "$second  $work/build/start.exe (sources copied to $work/copy)"
if [ "$first" != "$second" ]; then
    echo "The two builds differ ($(cmp -l "$exe" "$work/build/start.exe" | wc -l) bytes; first differences, offset and octal bytes):"
    cmp -l "$exe" "$work/build/start.exe" | head -n 10 || true
    exit 1
fi
