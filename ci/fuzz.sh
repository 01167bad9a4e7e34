#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang (ASan + UBSan, no
# recovery) and runs each one for a bounded time.
#
# Fails when a target does not build, when a saved reproducer under
# fuzz/regressions/<target>/ still fails, or when a run ends in a crash, a
# sanitizer report, a broken property, a time-out (-timeout) or an
# out-of-memory (-rss_limit_mb).
#
# Environment:
#   FUZZ_SECONDS    run time per target (default 60)
#   FUZZ_TARGETS    targets to build and run (default: all three)
#   FUZZ_BUILD_DIR  binaries, working corpora and crash files (default build-fuzz/)
#   FUZZ_JOBS       targets run at the same time (default 1)
#   CXX_FUZZ        the clang++ to use (default clang++)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"listing_fuzzer output_fuzzer script_fuzzer"}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-1}
cxx=${CXX_FUZZ:-clang++}

sources_listing_fuzzer="discovery/listingparser.cpp"
sources_output_fuzzer="flashing/outputinterpreter.cpp"
sources_script_fuzzer="flashing/scriptgenerator.cpp"

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
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: installing clang and its runtime libraries"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev pkg-config qtbase5-dev >/dev/null
    fi
    if ! links_fuzzer; then
        echo "fuzz: $cxx cannot link -fsanitize=fuzzer (needs clang and libclang-rt-dev)" >&2
        exit 2
    fi
fi

mkdir -p "$build"
qt_flags=$(pkg-config --cflags Qt5Core)
qt_libs=$(pkg-config --libs Qt5Core)
# Qt 5 is built with -reduce-relocations: code using it must be position independent.
flags=(-std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -I"$root/discovery" -I"$root/flashing" -I"$root/fuzz")

for target in $targets; do
    sources_var="sources_$target"
    sources=()
    for source in ${!sources_var}; do
        sources+=("$root/$source")
    done
    echo "fuzz: building $target"
    # shellcheck disable=SC2086
    "$cxx" "${flags[@]}" $qt_flags "$root/fuzz/$target.cpp" "${sources[@]}" $qt_libs -o "$build/$target"
done

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
        if ! "$build/$target" "${options[@]}" "$regressions"/* >"$build/$target.regressions.log" 2>&1; then
            echo "fuzz: $target FAILED on a saved reproducer; see $build/$target.regressions.log" >&2
            tail -n 40 "$build/$target.regressions.log" >&2
            return 1
        fi
    fi

    # New inputs go to the working corpus; the seeds in the tree stay as they are.
    if "$build/$target" "${options[@]}" -max_total_time="$seconds" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
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
