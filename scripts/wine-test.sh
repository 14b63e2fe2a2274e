#!/usr/bin/env bash
# Runs a Windows test executable under Wine for ctest (see wine-run.sh).
#
# Wine gives every process it starts the starter's Unix standard error (and,
# when the starter passes its own standard output on, that too), whatever
# handles the program asked for. A process left behind by a suite (a console
# host, a child of a killed child) would then hold ctest's pipe, and ctest
# would wait for it until the suite times out. So the suite writes into a file
# of its own, streamed out here until the suite itself has ended.
set -u
output=$(mktemp "${TMPDIR:-/tmp}/karvo-wine.XXXXXX") || exit 125
"$(dirname "$0")/wine-run.sh" "$@" <&0 >"$output" 2>&1 &
suite=$!
tail -n +1 -f --pid="$suite" "$output"
wait "$suite"
status=$?
rm -f "$output"
exit "$status"
