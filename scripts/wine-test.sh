#!/bin/sh
# Runs one Windows program under Wine for CTest (the Windows build's emulator), its output through
# a file rather than CTest's pipe. Wine starts its desktop and services on demand from whichever
# process first needs them, and they keep that process's standard output and error. Through a
# pipe, CTest would wait for them after the test has ended: while other tests keep the desktop in
# use, that is the rest of the run, and the test is reported as timed out.
output=$(mktemp) || exit 1
status=0
wine "$@" >"$output" 2>&1 </dev/null || status=$?
cat "$output"
rm -f "$output"
exit "$status"
