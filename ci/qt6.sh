#!/usr/bin/env bash
# Builds Velmora against Qt 6 in build-qt6/ and runs every test there, the
# same way scripts/run-tests.sh does for Qt 5.
#
# Environment: QT6_BUILD_DIR  build folder (default build-qt6/)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/install-deps.sh qt6-base-dev g++-mingw-w64-x86-64 wine
build=${QT6_BUILD_DIR:-$root/build-qt6}
jobs=$(nproc)

cmake -S . -B "$build" -DVELMORA_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=RelWithDebInfo
grep -q 'Qt6Core_DIR:PATH=' "$build/CMakeCache.txt" || { echo "qt6: the build did not pick Qt 6" >&2; exit 1; }
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
