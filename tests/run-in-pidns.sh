#!/bin/sh
# Runs a test binary in a PID namespace of its own, with a private /proc.
#
#   run-in-pidns.sh BINARY [ARGS...]
#
# A test that starves the process of file descriptors may meet a toolkit bug
# that turns a kill after a failed start into kill(-1, SIGKILL). Inside the
# namespace that can only reach the test's own processes; outside it, as root,
# it would end every process on the machine. sh stays PID 1 of the namespace
# (it reaps orphans and has the default signal handling of an init), and the
# test runs as its child.
#
# Exits 77 (skipped) when the namespace cannot be had: not root, or no
# unshare, or the kernel refuses.

skip=77
if [ "$#" -lt 1 ]; then
    echo "usage: $0 BINARY [ARGS...]" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: a PID namespace needs root here" >&2
    exit $skip
fi
if ! command -v unshare >/dev/null 2>&1; then
    echo "SKIP: no unshare" >&2
    exit $skip
fi
if ! unshare -p -f --mount-proc true >/dev/null 2>&1; then
    echo "SKIP: unshare cannot create a PID namespace here" >&2
    exit $skip
fi
exec unshare -p -f --mount-proc sh -c '"$0" "$@"; exit $?' "$@"
