#!/usr/bin/env bash
# Runs ScreenReaderTest.py on a desktop of its own (tests/desktop/private-desktop.sh) with a
# private D-Bus session, where the accessibility bus starts on demand as in a desktop session.
#   screen-reader-test.sh PROGRAM APPLIANCE FAKE_TOOLS
set -euo pipefail
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The accessibility bus is a socket named after the display, in the runtime folder (else in the
# home): a private one keeps it apart from any other session of the machine.
mkdir -m 700 "$work/runtime" "$work/home"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
# Debian's Python, where python3-pyatspi is; the bus daemons' chatter goes to a file.
"$here/../desktop/private-desktop.sh" --no-tray --bus /usr/share/dbus-1/session.conf \
    /usr/bin/python3 "$here/ScreenReaderTest.py" "$@" 2>"$work/session.log" \
    || { status=$?; grep -v "^dbus-daemon\|SpiRegistry" "$work/session.log" >&2 || true; exit $status; }
