#!/usr/bin/env bash
# Builds the 32-bit Windows start.exe and its stand-in velnor.exe into
# build-win32/ and runs the Windows tests under Wine. The first run on a fresh
# machine spends minutes on packages and on a static Qt; later runs reuse both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

qt_prefix="$(bash "$root/tools/setup-win32.sh")"

bash "$root/tools/configure-win32.sh" "$root" "$root/build-win32" "$qt_prefix" >/dev/null
cmake --build "$root/build-win32" -j"$(nproc)"
echo "build-win32/start.exe: $(stat -c %s "$root/build-win32/start.exe") bytes"

# The Russian locale the setup made in the cache, for Wine's code page.
source "$root/tools/packages.sh"
export LOCPATH="$velnor_locales"
cd "$root/build-win32"
# The tests under Wine, a second build in another folder with the Qt in
# another folder that must give the same start.exe, the package-source checks,
# the release's checks, and signed and unsigned releases checked by
# tools/verify-release.sh.
ctest -L '^(wine|reproducible|setup|release)$' --output-on-failure
