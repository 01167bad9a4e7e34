#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ through CMake (-DVELMORA_FUZZ=ON)
# with clang (ASan + UBSan, no recovery) and runs each one for a bounded time.
# clang and its runtime come from scripts/install-deps.sh (scripts/run-tests.sh
# asks for them).
#
# Fails when a target does not build, when a saved reproducer under
# fuzz/regressions/<target>/ still fails, or when a run ends in a crash, a
# sanitizer report, a broken property, a time-out (-timeout) or an
# out-of-memory (-rss_limit_mb).
#
# Environment:
#   FUZZ_SECONDS    run time per target (default 60)
#   FUZZ_TARGETS    targets to build and run (default: all three)
#   FUZZ_BUILD_DIR  CMake build folder: binaries, working corpora and crash files (default build-fuzz/)
#   FUZZ_JOBS       targets run at the same time (default 1)
#   CXX_FUZZ        the clang++ to use (default clang++)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"listing_fuzzer output_fuzzer script_fuzzer"}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-1}
cxx=${CXX_FUZZ:-clang++}

links_fuzzer() {
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' >"$probe/p.cpp"
    "$cxx" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1
    local ok=$?
    rm -rf "$probe"
    return $ok
}

if ! command -v "$cxx" >/dev/null 2>&1 || ! links_fuzzer; then
    echo "fuzz: $cxx cannot link -fsanitize=fuzzer; scripts/install-deps.sh clang libclang-rt-14-dev installs it" >&2
    exit 2
fi

# The targets are CMake targets of the project (fuzz/CMakeLists.txt); only
# they are built here.
mkdir -p "$build"
echo "fuzz: configuring $build"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DVELMORA_FUZZ=ON -DBUILD_TESTING=OFF >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets
bin=$build/fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
    local target=$1
    local log="$build/$target.log"
    local work="$build/corpus/$target"
    local artifacts="$build/artifacts/$target"
    local options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -f "$root/fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
    mkdir -p "$work" "$artifacts"

    local regressions="$root/fuzz/regressions/$target"
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
        if ! "$bin/$target" "${options[@]}" "$regressions"/* >"$build/$target.regressions.log" 2>&1; then
            echo "fuzz: $target FAILED on a saved reproducer; see $build/$target.regressions.log" >&2
            tail -n 40 "$build/$target.regressions.log" >&2
            return 1
        fi
    fi

    # New inputs go to the working corpus; the seeds in the tree stay as they are.
    if "$bin/$target" "${options[@]}" -max_total_time="$seconds" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz: $target passed ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs in ${seconds}s)"
        return 0
    fi
    echo "fuzz: $target FAILED; reproducers in $artifacts" >&2
    tail -n 60 "$log" >&2
    return 1
}

status=0
pids=()
running=0
for target in $targets; do
    if [ "$jobs" -gt 1 ]; then
        run_target "$target" &
        pids+=($!)
        running=$((running + 1))
        if [ "$running" -ge "$jobs" ]; then
            wait "${pids[0]}" || status=1
            pids=("${pids[@]:1}")
            running=$((running - 1))
        fi
    else
        run_target "$target" || status=1
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
