#!/usr/bin/env bash
# Runs ScreenReaderTest.py on a virtual display (Xvfb) with a private D-Bus session, where the
# accessibility bus starts on demand as in a desktop session.
#   screen-reader-test.sh PROGRAM APPLIANCE FAKE_TOOLS
set -euo pipefail
here=$(dirname "$0")
work=$(mktemp -d)
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
# The accessibility bus is a socket named after the display, in the runtime folder (else in the
# home): a private one keeps it apart from any other session of the machine.
mkdir -m 700 "$work/runtime" "$work/home"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
# Debian's Python, where python3-pyatspi is; the bus daemons' chatter goes to a file.
dbus-run-session -- /usr/bin/python3 "$here/ScreenReaderTest.py" "$@" 2>"$work/session.log" \
    || { status=$?; grep -v "^dbus-daemon\|SpiRegistry" "$work/session.log" >&2 || true; exit $status; }
