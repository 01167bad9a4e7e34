#!/usr/bin/env bash
# Cross-compiles the Windows device-notification code with MinGW-w64 and runs
# its test under Wine. Also checks that the application's resource script
# compiles. The exit code is the test result.
#
# Without the cross compiler or Wine the run is skipped (exit 0), unless
# VELMORA_REQUIRE_WINE=1. Needs: g++-mingw-w64-x86-64, wine (Debian 12).
set -u

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${VELMORA_WIN_BUILD_DIR:-${TMPDIR:-/tmp}/velmora-win-test}"
mkdir -p "$out"

skip() {
    echo "tst_devicenotify_win: skipped: $1"
    if [ "${VELMORA_REQUIRE_WINE:-0}" = "1" ]; then
        echo "tst_devicenotify_win: VELMORA_REQUIRE_WINE=1, so this is a failure"
        exit 1
    fi
    exit 0
}

cxx="${VELMORA_MINGW_CXX:-x86_64-w64-mingw32-g++}"
windres="${VELMORA_MINGW_WINDRES:-x86_64-w64-mingw32-windres}"
command -v "$cxx" >/dev/null 2>&1 || skip "$cxx not found (apt-get install g++-mingw-w64-x86-64)"

rc_file="$root/app/velmora.rc"
if [ -f "$rc_file" ]; then
    if ! command -v "$windres" >/dev/null 2>&1; then
        echo "velmora.rc: $windres not found"
        exit 1
    fi
    "$windres" -I "$root/app" -O coff -i "$rc_file" -o "$out/velmora_rc.o" || { echo "velmora.rc: windres failed"; exit 1; }
    echo "velmora.rc: compiled"
fi

exe="$out/tst_devicenotify_win.exe"
"$cxx" -std=c++17 -Wall -Wextra -Werror -static -O1 \
    -I "$root" "$root/discovery/win/devicenotify_win.cpp" "$root/tests/win/tst_devicenotify_win.cpp" -o "$exe" \
    || { echo "tst_devicenotify_win: compile failed"; exit 1; }

. "$root/tests/win/find-wine.sh"
wine_bin="$wine"
[ -n "$wine_bin" ] || skip "Wine not found (apt-get install wine64)"

export WINEPREFIX="${WINEPREFIX:-$out/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}" # no Mono/Gecko prompts in a fresh prefix
unset DISPLAY

# Wine's own start-up chatter goes to stderr; the test prints on stdout.
timeout 600 "$wine_bin" "$exe" 2>"$out/wine-stderr.log"
status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
    echo "tst_devicenotify_win: Wine exited with $status; its messages:"
    tail -n 20 "$out/wine-stderr.log"
    [ "$status" -eq 124 ] && echo "tst_devicenotify_win: timed out"
fi
exit "$status"
