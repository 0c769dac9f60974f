#!/usr/bin/env bash
# Runs each case of a test program on a private session bus of its own where no service starts by
# itself, so a keyring (gnome-keyring-daemon) is there only while the case runs one. One process a
# case: libsecret keeps its session with the first keyring daemon it met for the life of the
# process. glib's own event loop stays on: libsecret answers through it.
#   keyring-session.sh PROGRAM
set -euo pipefail
here=$(dirname "$0")
program=$1
failed=0
for case in $("$program" -functions | sed 's/()$//'); do
    dbus-run-session --config-file="$here/session-bus.conf" -- env -u QT_NO_GLIB "$program" "$case" \
        || failed=1
done
exit $failed
