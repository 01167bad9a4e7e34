#!/usr/bin/env bash
# Cross-builds Velmora for 64-bit Windows with MinGW-w64 (velmora.exe, the
# simulator as uuu_sim.exe, every test that runs on Windows) and runs the
# tests under Wine through CTest, with the offscreen platform, in a fresh
# Wine prefix that is removed afterwards.
#
#   ci/windows.sh [BUILD_DIR]          (default: build-win)
#
# The toolkit: VELMORA_MINGW_QT names either an unpacked MinGW build of Qt 5
# (the folder holding lib/cmake/Qt5) or a folder holding
# qt5.15.8-mingw-w64.tar.xz (made by ci/mingw-qt.sh), which is unpacked into
# the build folder. Default: ../shared/qt5-mingw-w64 beside the clone.
#
# VELMORA_WIN_PACKAGE=1 also makes the zip package (and the installer when
# makensis is there) and starts the packaged velmora.exe from a clean folder.
# Needs: g++-mingw-w64-x86-64, wine (Debian 12), cmake; zip for the package.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${1:-$root/build-win}")"
jobs="${VELMORA_JOBS:-2}"

step() { printf '\n==== windows: %s (%s)\n' "$*" "$(date +%T)"; }
clock() { date +%s; }
t0=$(clock)

# --- the toolkit ---------------------------------------------------------------
qt_source="${VELMORA_MINGW_QT:-$(dirname "$root")/shared/qt5-mingw-w64}"
if [ -d "$qt_source/lib/cmake/Qt5" ]; then
    qt="$(realpath "$qt_source")"
elif [ -f "$qt_source/qt5.15.8-mingw-w64.tar.xz" ]; then
    qt="$build/qt/velmora-qt5-mingw"
    if [ ! -f "$build/qt/unpacked" ] || [ "$qt_source/qt5.15.8-mingw-w64.tar.xz" -nt "$build/qt/unpacked" ]; then
        step "unpacking the toolkit"
        rm -rf "$build/qt" && mkdir -p "$build/qt"
        tar -C "$build/qt" -xJf "$qt_source/qt5.15.8-mingw-w64.tar.xz"
        touch "$build/qt/unpacked"
    fi
else
    echo "windows: no MinGW Qt at $qt_source (set VELMORA_MINGW_QT, or make one with ci/mingw-qt.sh)" >&2
    exit 2
fi

. "$root/tests/win/find-wine.sh"
[ -n "$wine" ] || { echo "windows: Wine not found (apt-get install wine)" >&2; exit 2; }

# --- build -----------------------------------------------------------------------
step "configure and build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tests/win/wine-run.sh" >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$jobs"
t_build=$(clock)

# --- Wine ------------------------------------------------------------------------
winpath() { printf 'Z:%s' "${1//\//\\}"; }
gcc_dlls="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
pthread_dll="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")"

WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")"
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installers in a fresh prefix
# The toolkit's DLLs and the GCC runtime they link, found through the path.
export WINEPATH="$(winpath "$qt/bin");$(winpath "$gcc_dlls");$(winpath "$pthread_dll")"
# Wine passes no QT_* variable on, so the plugins are named in a qt.conf
# beside the programs and the tests name their platform themselves.
for dir in "$build" "$build/tests"; do
    printf '[Paths]\nPrefix=%s\n' "$(winpath "$qt" | tr '\\' /)" >"$dir/qt.conf"
done
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

export VELMORA_WINE="$wine"

step "fresh Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 || true
# Windows without an X server: the windows platform's test gets real HWNDs
# from Wine's null display driver.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
"$wineserver" -w
t_prefix=$(clock)

# --- tests -----------------------------------------------------------------------
step "tests under Wine"
status=0
(unset DISPLAY; ctest --test-dir "$build" --output-on-failure -j"$jobs" ${VELMORA_CTEST_ARGS:-}) || status=$?
t_tests=$(clock)

if [ "${VELMORA_WIN_PACKAGE:-0}" = 1 ] && [ "$status" = 0 ]; then
    step "package"
    "$root/ci/windows-package.sh" "$build" ${VELMORA_WIN_SCREENSHOT:+"$VELMORA_WIN_SCREENSHOT"} || status=$?
fi
t_end=$(clock)

printf '\nwindows: build %ss, Wine prefix %ss, tests %ss, package %ss, total %ss\n' \
    $((t_build - t0)) $((t_prefix - t_build)) $((t_tests - t_prefix)) $((t_end - t_tests)) $((t_end - t0))
exit "$status"
