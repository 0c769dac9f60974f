#!/usr/bin/env bash
# Runs one QTest program (or a launcher and the program after it). It passes only when the
# program exits 0 and its closing "Totals" line counts no failure: a program that ends half way
# through its cases, even with status 0, has skipped what came after.
set -uo pipefail
output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" >"$output" 2>&1
status=$?
cat "$output"
if [ "$status" -ne 0 ]; then
    echo "run-to-the-end: exit status $status" >&2
    exit 1
fi
if ! grep -Eq '^Totals: [0-9]+ passed, 0 failed' "$output"; then
    echo "run-to-the-end: the program ended without its closing Totals line" >&2
    exit 1
fi
