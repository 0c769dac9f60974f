#!/usr/bin/env bash
# Runs a test program on a private session bus where no service starts by itself, so a keyring
# (gnome-keyring-daemon) is there only while the test runs one. glib's own event loop stays on:
# libsecret answers through it.
#   keyring-session.sh PROGRAM [ARGUMENTS...]
set -euo pipefail
here=$(dirname "$0")
exec dbus-run-session --config-file="$here/session-bus.conf" -- env -u QT_NO_GLIB "$@"
