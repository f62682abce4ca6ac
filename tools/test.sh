#!/usr/bin/env bash
# Sets up, builds and runs every test: the unit and end-to-end suites, the same
# suites again under AddressSanitizer and UndefinedBehaviorSanitizer, the
# rewrite's fuzz target for a minute, and the 32-bit Windows start.exe under
# Wine (the first run on a fresh machine spends minutes on packages and Qt).
# --linux: only the unit and end-to-end suites.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "${1:-}" in
    ""|--linux) ;;
    *) echo "usage: $0 [--linux]" >&2; exit 2 ;;
esac

source "$root/tools/packages.sh"
lock_checkout "$root"
"$root/tools/setup.sh"
"$root/tools/build.sh"
(cd "$root/build" && ctest --output-on-failure)
[ "${1:-}" != --linux ] || exit 0

echo "== The suites under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAUNCHER_SANITIZE=ON \
    -DLAUNCHER_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$root/build-sanitize" -j"$(nproc)"
(cd "$root/build-sanitize" && ctest --output-on-failure)

echo "== Fuzzing the rewrite"
"$root/tools/fuzz.sh" "${LAUNCHER_FUZZ_SECONDS:-60}"

echo "== The Windows start.exe under Wine"
# Without the checkout's lock: a Wine server may outlive the run.
"$root/tools/test-win32.sh" 8>&-
