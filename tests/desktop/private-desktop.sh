#!/usr/bin/env bash
# Runs a test program on a desktop of its own: a virtual display (Xvfb) with a system tray host
# (trayer) and a private session bus that starts nothing by itself, so a notification service is
# there only while the test runs one.
#   private-desktop.sh PROGRAM [ARGUMENTS...]
set -euo pipefail
here=$(dirname "$0")
work=$(mktemp -d)
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
tray=
trap 'kill $tray "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb
trayer >"$work/trayer.log" 2>&1 &
tray=$!
dbus-run-session --config-file="$here/session-bus.conf" -- "$@"
