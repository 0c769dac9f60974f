#!/usr/bin/env bash
# Takes a picture of each page of the running window on a virtual display (Xvfb): the login
# form, the form filled in, the loading page, the connected page, the help page, the
# "How to use" box and the question about an appliance's changed identity, at the scales of three screens: 96 dpi (1), 144 dpi (1.5) and 192 dpi (2), as
# a desktop announces them through Xft.dpi. The pictures go to build/screenshots/scale-<scale>/.
# Then the tray icon in each state and the notice of a session the appliance ended, with a tray
# host (trayer) and a notification service (dunst): build/screenshots/tray/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target velmora-screenshot-tour

tour() {
    # Global, not local: the trap runs after the function has returned.
    work=$(mktemp -d)
    xvfb=
    trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
    # -noreset keeps the Xft.dpi resource between the tours.
    exec 3>"$work/display"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1600x1400x24 >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$work/display")"
    for scale in 1 1.5 2; do
        xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER \
            "Xft.dpi:	$(awk "BEGIN { print 96 * $scale }")"
        # A throwaway home for each tour: it logs in and remembers the form.
        local home="$work/home-$scale"
        mkdir -p "$home" build/screenshots/scale-$scale
        mkdir -m 700 "$home/runtime"
        HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
            XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
            build/tests/velmora-screenshot-tour build/screenshots/scale-$scale
    done
}
trayTour() {
    work=$(mktemp -d)
    xvfb= tray=
    trap 'kill $tray "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
    exec 3>"$work/display"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb
    # A 96-dpi desktop: the tray's images at their own pixels.
    xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	96"
    mkdir -p "$work/home" build/screenshots/tray
    mkdir -m 700 "$work/runtime"
    export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_STATE_HOME="$work/home/state" \
        XDG_RUNTIME_DIR="$work/runtime"
    trayer --edge bottom --align right --widthtype request --height 28 >/dev/null 2>&1 &
    tray=$!
    # A session bus of its own, where dunst is the notification service.
    dbus-run-session --config-file=tests/desktop/session-bus.conf -- bash -c '
        dunst >/dev/null 2>&1 & daemon=$!
        for _ in $(seq 50); do dunstctl is-paused >/dev/null 2>&1 && break; sleep 0.1; done
        build/tests/velmora-screenshot-tour build/screenshots/tray tray; status=$?
        kill $daemon; exit $status'
}
export -f tour trayTour
# The tours talk to their stand-in appliance on loopback only.
scripts/in-loopback-namespace.sh bash -c tour
exec scripts/in-loopback-namespace.sh bash -c trayTour
