#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest (the cross build's
# CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh PROGRAM [ARGS...]
#
# Without a console window the toolkit's test library writes its log to the
# debugger channel instead of standard output; with VELMORA_QTEST_LOG=1 the
# log goes to a file, which is printed afterwards.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/find-wine.sh"
[ -n "$wine" ] || { echo "wine-run.sh: Wine not found" >&2; exit 127; }

# The first Wine program of a prefix starts wineserver and Wine's services,
# which inherit its standard output and error and outlive it: handed CTest's
# pipes, they would keep the test "running" until the prefix shuts down. The
# program therefore writes to files, which are printed once it has ended.
out="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine-run.XXXXXX")"
if [ "${VELMORA_QTEST_LOG:-0}" = 1 ]; then
    "$wine" "$@" -o "Z:${out//\//\\}\\log.txt,txt" >"$out/stdout" 2>"$out/stderr" </dev/null
else
    "$wine" "$@" >"$out/stdout" 2>"$out/stderr" </dev/null
fi
status=$?
cat "$out/stdout"
[ -f "$out/log.txt" ] && cat "$out/log.txt"
cat "$out/stderr" >&2
rm -rf "$out"
exit "$status"
