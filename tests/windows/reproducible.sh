#!/usr/bin/env bash
# Builds start.exe a second time from a copy of the sources in another folder,
# with the same toolchain and build type and a copy of the same Qt in another
# folder, and checks that the two files are the same byte for byte; then that
# neither start.exe nor the QtCore library holds a path of the build machine
# (the sources, the build folders, the Qt prefix or the cache it lies in).
# Nothing of the build's folders, the Qt cache's place or the time may end up
# in the executable.
#   reproducible.sh <start.exe> <source folder> <toolchain file> <build type> <Qt5Core_DIR>
# The source folder may be a git checkout (its tracked and new files are
# copied, without what git ignores) or an unpacked source archive (all of it
# but build*/ and dist/).
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 <start.exe> <source folder> <toolchain file> <build type> <Qt5Core_DIR>" >&2; exit 2; }
exe=$1 source=$2 toolchain=$3 build_type=$4 qt_core_dir=$5
[ -f "$exe" ] || { echo "$exe: no such file (build start first)" >&2; exit 1; }
source=$(cd "$source" && pwd -P)
exe=$(cd "$(dirname "$exe")" && pwd -P)/$(basename "$exe")

work=$(mktemp -d /tmp/velnor-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/copy"
if git -C "$source" rev-parse --show-toplevel 2>/dev/null | grep -qxF "$source"; then
    (
        cd "$source"
        git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
            [ ! -f "$file" ] || cp --parents -p "$file" "$work/copy/"
        done
    )
else
    tar -C "$source" --anchored --exclude='./build*' --exclude=./dist --exclude=./.git -cf - . | tar -C "$work/copy" -xf -
fi
[ -f "$work/copy/CMakeLists.txt" ] || { echo "no sources copied from $source" >&2; exit 1; }

# The Qt in another folder, as another cache would hold it.
qt_prefix=$(cd "$qt_core_dir/../../.." && pwd -P)
qt_copy="$work/another cache/$(basename "$qt_prefix")"
mkdir -p "$work/another cache"
cp -a "$qt_prefix" "$qt_copy"
cmake -S "$work/copy" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE="$build_type" -DCMAKE_PREFIX_PATH="$qt_copy" \
    -DQt5_DIR="$qt_copy/lib/cmake/Qt5" -DQt5Core_DIR="$qt_copy/lib/cmake/Qt5Core" >"$work/configure.log" \
    || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j"$(nproc)" --target start >"$work/build.log" 2>&1 \
    || { cat "$work/build.log"; exit 1; }
if grep -qF "$qt_prefix" "$work/build/CMakeCache.txt"; then
    echo "the second build found the first Qt, not its copy:"; grep -F "$qt_prefix" "$work/build/CMakeCache.txt"; exit 1
fi

first=$(sha256sum <"$exe" | cut -d' ' -f1)
second=$(sha256sum <"$work/build/start.exe" | cut -d' ' -f1)
echo "$first  $exe (Qt in $qt_prefix)"
echo "$second  $work/build/start.exe (sources copied to $work/copy, Qt to $qt_copy)"
if [ "$first" != "$second" ]; then
    echo "The two builds differ ($(cmp -l "$exe" "$work/build/start.exe" | wc -l) bytes; first differences, offset and octal bytes):"
    cmp -l "$exe" "$work/build/start.exe" | head -n 10 || true
    exit 1
fi

# Paths as the compiler and Qt would write them: in UTF-8 and in UTF-16.
qt_library=$(find "$qt_prefix/lib" -maxdepth 1 -name 'libQt5Core*.a' | head -n1)
python3 - "$exe" "$qt_library" -- "$source" "$(dirname "$exe")" "$qt_prefix" "$(dirname "$qt_prefix")" <<'EOF'
import sys
split = sys.argv.index("--")
files, paths = sys.argv[1:split], sys.argv[split + 1:]
found = 0
for name in files:
    data = open(name, "rb").read()
    for path in paths:
        if len(path) < 8:  # "/", "/opt": too short to tell
            continue
        for encoding in ("utf-8", "utf-16-le"):
            offset = data.find(path.encode(encoding))
            if offset >= 0:
                print(f"{name} holds {path} ({encoding}) at offset {offset}")
                found += 1
sys.exit(1 if found else 0)
EOF
echo "No path of the build machine in start.exe or $qt_library"
