#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan, -O1, the engine instrumented too)
# into build-fuzz/ and runs each for a bounded time (FUZZ_SECONDS, default 30 each) from its
# seed corpus in fuzz/corpus/<name>. New inputs found go to build-fuzz/corpus/<name>/,
# crashes to build-fuzz/ as crash-* files. FUZZ_TARGETS="fuzz_replies ..." runs only those;
# FUZZ_RUNS=N ends each target after N executions, if that comes before FUZZ_SECONDS.
# FUZZ_MERGE=1 then minimises each target's seeds and new inputs back into fuzz/corpus/<name>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
runs=${FUZZ_RUNS:--1}

# Each target and the longest input it is given: a few replies and receives, one host and
# port text, a command line, a header and a small image with the simulator's options.
declare -A maxLength=(
    [fuzz_replies]=4096
    [fuzz_host_port]=64
    [fuzz_cli_options]=1024
    [fuzz_sim_client]=4096
    [fuzz_hosts_file]=4096
)
targets=(${FUZZ_TARGETS:-fuzz_replies fuzz_host_port fuzz_cli_options fuzz_sim_client fuzz_hosts_file})

"$root/scripts/setup.sh" clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DFWUPGRADE_FUZZ=ON -DFWUPGRADE_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}" >/dev/null
# Qt's libraries keep no frame pointers: a longer allocation stack picks up stray words, each
# stack a new entry in the sanitizer's store, which then grows and slows every run. Rerun a
# crash-* file without this to see whole allocation stacks.
export ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2
export UBSAN_OPTIONS=print_stacktrace=1

for target in "${targets[@]}"; do
    name=${target#fuzz_}
    seeds=$root/fuzz/corpus/$name
    found=$build/corpus/$name
    mkdir -p "$seeds" "$found"
    log=$build/$target.log
    echo "== $target: $seconds s, inputs up to ${maxLength[$target]} bytes"
    status=0
    (cd "$build" && "$build/fuzz/$target" -max_total_time="$seconds" -runs="$runs" \
        -max_len="${maxLength[$target]}" -timeout=10 -print_final_stats=1 \
        "$found" "$seeds") >"$log" 2>&1 || status=$?
    grep -E '^==[0-9]+==ERROR|^SUMMARY|deadly signal|^artifact_prefix|Test unit written' "$log" || true
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    perSecond=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[^ ]+')
    echo "$target: ${executions:-?} executions, ${perSecond:-?} exec/s, ${coverage:-no coverage line}"
    if ((status != 0)); then
        echo "$target failed (status $status); see $log" >&2
        exit "$status"
    fi
    if [[ ${FUZZ_MERGE:-0} == 1 ]]; then
        merged=$build/merged/$name
        rm -rf "$merged" && mkdir -p "$merged"
        "$build/fuzz/$target" -merge=1 -max_len="${maxLength[$target]}" "$merged" "$seeds" \
            "$found" >"$build/$target.merge.log" 2>&1
        rm -f "$seeds"/* && cp "$merged"/* "$seeds"/
        echo "$target: corpus minimised to $(ls "$seeds" | wc -l) inputs"
    fi
done
