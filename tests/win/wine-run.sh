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

if [ "${VELMORA_QTEST_LOG:-0}" != 1 ]; then
    exec "$wine" "$@"
fi
log="$(mktemp "${TMPDIR:-/tmp}/velmora-qtest.XXXXXX")"
"$wine" "$@" -o "Z:${log//\//\\},txt"
status=$?
cat "$log"
rm -f "$log"
exit "$status"
