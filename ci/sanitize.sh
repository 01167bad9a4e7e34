#!/usr/bin/env bash
# Builds Velmora and its tests with AddressSanitizer (leak checking included)
# and UndefinedBehaviorSanitizer in build-asan/, then runs the test suite.
#
# Fails when the build fails, when a test fails, or when any process the
# tests start (the test programs and the simulator they run as the flashing
# tool) writes a sanitizer report: reports go to files, which are printed at
# the end, so a report from a child process is not lost in its test's output.
#
# Third-party leaks are suppressed in ci/lsan.supp only; see the comment at
# each entry there.
#
# Environment:
#   SANITIZE_BUILD_DIR  build directory (default build-asan/)
#   SANITIZE_JOBS       build and test jobs (default: number of cores)
#   CC, CXX             compilers (default clang/clang++; GCC works, see below)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-asan}
jobs=${SANITIZE_JOBS:-$(nproc)}
reports=$build/sanitizer-reports

# Clang unless CXX says otherwise: GCC's UndefinedBehaviorSanitizer ignores
# log_path and writes to the stderr of the process, where a report from a
# child process (the simulator the tests run as the flashing tool) would go
# unseen. Clang's runtime writes it to the report files like the others.
if [ -z "${CXX:-}" ]; then
    if command -v clang++ >/dev/null 2>&1; then
        export CC=clang CXX=clang++
    else
        echo "sanitize: clang++ not found (scripts/install-deps.sh clang installs it); with GCC, UBSan reports of" \
             "child processes only reach their stderr" >&2
    fi
fi

# -O1 keeps the instrumented tests fast enough for their time limits; Debug
# keeps Q_ASSERT on.
cmake -S "$root" -B "$build" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DBUILD_TESTING=ON \
    -DVELMORA_SANITIZE="address;undefined"
cmake --build "$build" -j"$jobs"

rm -rf "$reports"
mkdir -p "$reports"
# fast_unwind_on_malloc=0: Qt is built without frame pointers, and the leak
# suppressions need the whole allocation stack to match.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$root/ci/lsan.supp:print_suppressions=0"

status=0
# The Windows device-notification test cross-compiles its own code with
# MinGW and runs it under Wine: nothing of it is instrumented here.
ctest --test-dir "$build" --output-on-failure -j"$jobs" -E '^tst_devicenotify_win$' || status=1

# A process killed while its exit-time leak check runs (the window kills
# tools that take too long, or at teardown) leaves only this line: no verdict
# about that process, and no report.
tracer_noise='^==[0-9]+==Unable to get registers from thread [0-9]+\.$'
found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    if ! grep -Evq "$tracer_noise|^\s*$" "$report"; then
        continue
    fi
    if [ "$found" -eq 0 ]; then
        echo "sanitize: sanitizer reports:" >&2
        found=1
    fi
    echo "==== $report" >&2
    cat "$report" >&2
done
[ "$found" -eq 0 ] || status=1

if [ "$status" -eq 0 ]; then
    echo "sanitize: all tests passed, no sanitizer report"
fi
exit $status
