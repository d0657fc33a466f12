#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a bounded time
# (FUZZ_SECONDS, default 30 each) from the seed corpus in fuzz/corpus. New inputs found go to
# build-fuzz/corpus/, crashes to build-fuzz/ as crash-* files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
"$root/scripts/setup.sh" clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DFWUPGRADE_FUZZ=ON -DFWUPGRADE_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target fuzz_replies fuzz_host_port >/dev/null
export ASAN_OPTIONS=detect_leaks=1
for target in fuzz_replies fuzz_host_port; do
    corpus=${target#fuzz_}; corpus=${corpus/host_port/hostport}
    mkdir -p "$build/corpus/$corpus"
    echo "== $target: $seconds s"
    (cd "$build" && "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$build/corpus/$corpus" "$root/fuzz/corpus/$corpus" 2>&1 | grep -E 'cov:|DONE|stat::number_of_executed_units|ERROR|SUMMARY' | tail -n 4)
done
