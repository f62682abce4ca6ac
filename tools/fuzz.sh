#!/usr/bin/env bash
# Builds the rewrite's fuzz target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ and runs it for the given number
# of seconds (default 60) from the seed corpus in fuzz/corpus. New inputs it
# finds go to build-fuzz/corpus, a failing one to build-fuzz/crash-*.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"

"$root/tools/setup.sh" clang libclang-rt-14-dev
cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DLAUNCHER_BUILD_FUZZER=ON -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc)" --target fuzz_rewrite

# The seeds stay as committed; what the run adds collects in the build.
mkdir -p "$root/build-fuzz/corpus"
cp -n "$root"/fuzz/corpus/* "$root/build-fuzz/corpus/"
cd "$root/build-fuzz"
./fuzz/fuzz_rewrite -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$root/build-fuzz/" corpus
