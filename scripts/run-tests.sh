#!/usr/bin/env bash
# Installs what is needed, builds Velmora and runs every test: the suite with
# Qt 5 and with Qt 6, the formatting and clang-tidy checks, the suite again
# with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers for a
# bounded time, the benchmarks once on a small load, and the Windows build
# with its tests and packages under Wine when a MinGW build of Qt is there
# (VELMORA_MINGW_QT, or ../shared/qt5-mingw-w64 beside the clone).
# Each part's time is printed at the end.
#
# VELMORA_QUICK=1 runs the Qt 5 suite only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh g++-mingw-w64-x86-64 wine qt6-base-dev clang clang-tidy \
    libclang-rt-14-dev libbenchmark-dev xdotool unzip nsis prometheus-node-exporter prometheus curl
jobs=$(nproc)

timings=""
step_name=""
step_start=0
finish_step() {
    if [ -n "$step_name" ]; then
        timings+=$(printf '%6ss  %s' $(($(date +%s) - step_start)) "$step_name")$'\n'
    fi
}
step() {
    finish_step
    step_name="$*"
    step_start=$(date +%s)
    printf '\n==== %s\n' "$*"
}
report_times() {
    finish_step
    step_name=""
    printf '\n==== Times\n%s' "$timings"
}
trap report_times EXIT

step "Qt 5: build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_BENCHMARKS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

[ "${VELMORA_QUICK:-0}" = 1 ] && exit 0

step "Formatting"
ci/format.sh

step "Sample data"
# Listings, ids and names in the tree are our own inventions; the workplace's
# checker lists any that name real hardware.
checker=../shared/tools/check-sample-data
if [ -x "$checker" ]; then
    "$checker"
else
    echo "no sample-data checker beside the checkout; skipped"
fi

step "Qt 6: build and test"
ci/qt6.sh

step "clang-tidy"
ci/tidy.sh

step "Sanitizers"
ci/sanitize.sh

step "Fuzzing"
ci/fuzz.sh

step "Benchmarks, once on a small load"
build/bench/velmora_bench --quick --out build/bench-quick.md
if [ -x build/bench/velmora_micro_bench ]; then
    QT_QPA_PLATFORM=offscreen build/bench/velmora_micro_bench --benchmark_min_time=0.01
fi

mingw_qt="${VELMORA_MINGW_QT:-$(dirname "$(pwd)")/shared/qt5-mingw-w64}"
if [ -d "$mingw_qt/lib/cmake/Qt5" ] || [ -f "$mingw_qt/qt5.15.8-mingw-w64.tar.xz" ]; then
    step "Windows: cross build, tests and packages under Wine"
    VELMORA_MINGW_QT="$mingw_qt" VELMORA_WIN_PACKAGE=1 ci/windows.sh build-win
else
    step "Windows: skipped"
    echo "The Windows suite was skipped: no MinGW build of Qt at $mingw_qt."
    echo "Make one with ci/mingw-qt.sh PREFIX (about an hour on 2 cores) and set"
    echo "VELMORA_MINGW_QT=PREFIX, or put the qt5-mingw-w64 folder beside the clone."
fi

step "All checks passed"
