#!/usr/bin/env bash
# Runs a program on a desktop of its own: a virtual display (Xvfb) with a system tray host
# (trayer) and a private session bus that starts nothing by itself, so a notification service is
# there only while the test runs one. The one launcher of a display for the tests and scripts.
#   private-desktop.sh [OPTIONS] PROGRAM [ARGUMENTS...]
#   --dpi N        announce N dots per inch through Xft.dpi, as a desktop does
#   --no-tray      no tray host
#   --bus CONFIG   the session bus from this configuration; --no-bus: none at all
#   --say-display  print the display's name on a line before the program starts
set -euo pipefail
here=$(dirname "$0")
dpi= tray=1 bus=$here/session-bus.conf say=
while [ $# -gt 0 ]; do
    case $1 in
    --dpi) dpi=$2; shift 2 ;;
    --no-tray) tray=; shift ;;
    --bus) bus=$2; shift 2 ;;
    --no-bus) bus=; shift ;;
    --say-display) say=1; shift ;;
    *) break ;;
    esac
done
work=$(mktemp -d)
children=
trap 'kill $children 2>/dev/null || true; wait; rm -rf "$work"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
# -noreset: the Xft.dpi resource would go with the last client otherwise.
exec 3>"$work/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1600x1400x24 >"$work/xvfb.log" 2>&1 &
children=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; exit 2; }
export DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb
[ -z "$dpi" ] || xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	$dpi"
if [ -n "$tray" ]; then
    trayer >"$work/trayer.log" 2>&1 &
    children="$children $!"
fi
[ -z "$say" ] || echo "$DISPLAY"
[ -z "$bus" ] || set -- dbus-run-session --config-file="$bus" -- "$@"
# In the background, so that a TERM to this script ends the desktop at once.
"$@" &
children="$children $!"
wait $!
