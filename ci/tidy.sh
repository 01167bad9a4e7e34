#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over Velmora's own sources
# (app/ discovery/ flashing/ tools/; not tests/, bench/, fuzz/, nor moc/uic
# output) and fails on any warning.
#
# It configures build-tidy/ with compile_commands.json and first builds the
# velmora_core_autogen target, so that the ui_*.h and moc files the sources
# include exist. Every source that compile_commands.json lists under those
# folders is checked, with its own flags; with a MinGW-w64 cross compiler
# installed, the Win32 unit discovery/win/devicenotify_win.cpp (not built on
# Linux) is checked too, for the x86_64-w64-mingw32 target.
#
# Environment:
#   CLANG_TIDY        the clang-tidy to use (default clang-tidy; Debian 12 has 14)
#   TIDY_BUILD_DIR    build folder (default build-tidy/)
#   VELMORA_QT_MAJOR  5 (default) or 6
#   TIDY_JOBS         files checked at once (default: nproc)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

extra=()
[ -n "${CLANG_TIDY:-}" ] || extra+=(clang-tidy)
[ "${VELMORA_QT_MAJOR:-5}" = 6 ] && extra+=(qt6-base-dev)
scripts/install-deps.sh "${extra[@]}"
clang_tidy=${CLANG_TIDY:-clang-tidy}
build=${TIDY_BUILD_DIR:-$root/build-tidy}
jobs=${TIDY_JOBS:-$(nproc)}
if ! command -v "$clang_tidy" >/dev/null 2>&1; then
    echo "tidy: $clang_tidy not found (apt-get install clang-tidy)" >&2
    exit 2
fi
"$clang_tidy" --version | sed -n '1,2p' | sed 's/^/tidy: /'

mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Debug \
    -DVELMORA_QT_MAJOR="${VELMORA_QT_MAJOR:-5}" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 2; }
cmake --build "$build" --target velmora_core_autogen >/dev/null

# Our sources, as compile_commands.json names them (CMake writes absolute paths).
mapfile -t sources < <(grep -o '"file": *"[^"]*"' "$build/compile_commands.json" |
    sed 's/^"file": *"//; s/"$//' |
    grep -E "^$root/(app|discovery|flashing|tools)/" | grep -v '_autogen/' | sort -u)
if [ ${#sources[@]} -eq 0 ]; then
    echo "tidy: no sources found in $build/compile_commands.json" >&2
    exit 2
fi

header_filter="^$root/(app|discovery|flashing|tools)/.*\\.h\$"
log="$build/tidy.log"
out="$build/tidy-out"
rm -rf "$out"
mkdir -p "$out"
: >"$log"

# One output and exit-code file per source; -quiet drops the "N warnings
# generated" chatter, findings stay.
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -I{} sh -c 'f="$4/$(printf %s "$3" | tr / _)"; "$0" -quiet -p "$1" --header-filter="$2" "$3" >"$f.out" 2>&1; echo $? >"$f.rc"' \
        "$clang_tidy" "$build" "$header_filter" {} "$out" || true

status=0
for source in "${sources[@]}"; do
    f="$out/$(printf %s "$source" | tr / _)"
    rc=$(cat "$f.rc" 2>/dev/null || echo 1)
    if [ "$rc" != 0 ] || grep -q 'warning:\|error:' "$f.out"; then
        status=1
        cat "$f.out" >>"$log"
    fi
done

# The Win32 unit, when a MinGW-w64 tree is there to parse <windows.h> with.
win_source=$root/discovery/win/devicenotify_win.cpp
mingw_include=/usr/x86_64-w64-mingw32/include
if [ -f "$win_source" ] && [ -d "$mingw_include" ]; then
    # MinGW's own libstdc++ and Win32 headers only: never the host's, and
    # clang's own intrinsics rather than GCC's.
    win_flags=(--target=x86_64-w64-mingw32 -std=c++17 -nostdinc++ -nostdlibinc -I "$root")
    cxx_include=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++ 2>/dev/null | sort -V | tail -n1 || true)
    [ -n "$cxx_include" ] && win_flags+=(-isystem "$cxx_include" -isystem "$cxx_include/x86_64-w64-mingw32")
    win_flags+=(-isystem "$mingw_include")
    sources+=("$win_source")
    if ! "$clang_tidy" -quiet --header-filter="$header_filter" "$win_source" -- "${win_flags[@]}" \
        >"$build/tidy-win.out" 2>&1 || grep -q 'warning:\|error:' "$build/tidy-win.out"; then
        status=1
        cat "$build/tidy-win.out" >>"$log"
    fi
fi

if [ "$status" -ne 0 ]; then
    grep -E '(warning|error):' "$log" | sort -u
    echo
    echo "tidy: findings above (full output in $log)"
    exit 1
fi
echo "tidy: ${#sources[@]} sources checked, no findings"
