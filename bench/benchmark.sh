#!/usr/bin/env bash
# Builds and runs the benchmark program; arguments go to it, for example
#   bash bench/benchmark.sh --benchmark_filter=Rewrite/100MB
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$root/tools/setup.sh"
"$root/tools/build.sh" launcher_bench >/dev/null
exec "$root/build/bench/launcher_bench" "$@"
