#!/usr/bin/env bash
# Builds the 32-bit Windows start.exe and its stand-in velnor.exe into
# build-win32/ and runs the Windows tests under Wine. The first run on a fresh
# machine spends minutes on packages and on a static Qt; later runs reuse both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

qt_prefix="$(bash "$root/tools/setup-win32.sh")"

# Qt named outright: a build folder configured earlier remembers the Qt it found.
cmake -S "$root" -B "$root/build-win32" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_PREFIX_PATH="$qt_prefix" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DQt5_DIR="$qt_prefix/lib/cmake/Qt5" -DQt5Core_DIR="$qt_prefix/lib/cmake/Qt5Core" >/dev/null
cmake --build "$root/build-win32" -j"$(nproc)"
echo "build-win32/start.exe: $(stat -c %s "$root/build-win32/start.exe") bytes"

cd "$root/build-win32"
# The tests under Wine, a second build in another folder with the Qt in
# another folder that must give the same start.exe, the package-source checks,
# the release's checks, and signed and unsigned releases checked by
# tools/verify-release.sh.
ctest -L '^(wine|reproducible|setup|release)$' --output-on-failure
