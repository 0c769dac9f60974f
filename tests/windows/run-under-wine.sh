#!/usr/bin/env bash
# run-under-wine.sh WINE PROGRAM PREFIX_FOLDER EXPECTED_CASES
# Runs the Windows layer tests under Wine in a prefix of their own, and passes only when the
# program exits with 0 AND doctest reports at least EXPECTED_CASES cases, all passed, none failed:
# a program that runs nothing, or dies before its summary, fails. Then runs the one case that needs
# the program in a folder deeper than MAX_PATH from such a copy (Wine starts that only from the
# Unix side).
set -uo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 WINE PROGRAM PREFIX_FOLDER EXPECTED_CASES" >&2
    exit 2
fi
wine=$1
program=$2
folder=$3
expected=$4

mkdir -p "$folder"
# The prefix is made by the first run (a few seconds) and reused; the tests wipe their own keys.
export WINEPREFIX="$folder/prefix"
export WINEDEBUG=-all
# No Mono or Gecko set-up prompts while the prefix is made; no window of any kind.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# run_doctest LABEL EXPECTED PROGRAM [ARGUMENTS...]
run_doctest() {
    local label=$1 want=$2 log="$folder/$1.log"
    shift 2
    echo "== $label: wine $*"
    "$wine" "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}

    # [doctest] test cases: 17 | 17 passed | 0 failed | 1 skipped
    local summary
    summary=$(grep -E '^\[doctest\] test cases:' "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        echo "FAIL ($label): no doctest summary; exit status $status" >&2
        return 1
    fi
    local cases passed failed
    cases=$(sed -E 's/.*test cases: *([0-9]+).*/\1/' <<<"$summary")
    passed=$(sed -E 's/.*\| *([0-9]+) passed.*/\1/' <<<"$summary")
    failed=$(sed -E 's/.*\| *([0-9]+) failed.*/\1/' <<<"$summary")
    if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ] || [ "$passed" -ne "$cases" ] \
        || [ "$cases" -lt "$want" ]; then
        echo "FAIL ($label): exit status $status, $cases cases, $passed passed, $failed failed;" \
            "at least $want cases must pass" >&2
        return 1
    fi
    echo "== $label: $passed of $cases cases passed (at least $want expected)"
}

# No display, but windows all the same: Wine's null graphics driver lets a hidden window be made
# (the power broadcast goes to top-level windows only).
# Read back before the tests start: a run that started without it could make no window at all.
for _ in 1 2 3; do
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wine" reg query 'HKCU\Software\Wine\Drivers' /v Graphics 2>/dev/null | grep -q null && break
    echo "note: Wine's graphics driver setting did not read back; setting it again" >&2
    sleep 1
done
# A fresh prefix came up with the default driver: its desktop, made without a display, makes no
# windows for anyone. Waiting for the server to end by itself ends that desktop too, and lets the
# prefix's set-up finish first instead of killing it half way; the tests then get a desktop with
# the null driver.
"${wine}server" -w 2>/dev/null

run_doctest all-cases "$expected" "$program" || exit 1

# Three levels of 100 characters put the copy well past MAX_PATH (260).
deep="$folder/deep/$(printf 'a%.0s' {1..100})/$(printf 'b%.0s' {1..100})/$(printf 'c%.0s' {1..100})"
mkdir -p "$deep"
cp "$program" "$deep/"
run_doctest deep-path 1 "$deep/$(basename "$program")" --no-skip \
    "--test-case=*deeper than MAX_PATH*" || exit 1
