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

# A throwaway home for each tour: it logs in and remembers the form.
inHome() {
    local home=$1
    shift
    mkdir -p "$home"
    mkdir -m 700 "$home/runtime"
    HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
        XDG_RUNTIME_DIR="$home/runtime" "$@"
}
tour() {
    for scale in 1 1.5 2; do
        xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER \
            "Xft.dpi:	$(awk "BEGIN { print 96 * $scale }")"
        mkdir -p build/screenshots/scale-$scale
        inHome "$work/home-$scale" build/tests/velmora-screenshot-tour \
            build/screenshots/scale-$scale || return 1
    done
}
trayTour() {
    # dunst is the notification service on the desktop's own session bus.
    dunst >/dev/null 2>&1 &
    local daemon=$! status=0
    for _ in $(seq 50); do dunstctl is-paused >/dev/null 2>&1 && break; sleep 0.1; done
    mkdir -p build/screenshots/tray
    inHome "$work/home-tray" build/tests/velmora-screenshot-tour build/screenshots/tray tray \
        || status=$?
    kill $daemon
    return $status
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export work
export -f inHome tour trayTour
# The tours talk to their stand-in appliance on loopback only, each on a desktop of its own.
desktop=(scripts/in-loopback-namespace.sh tests/desktop/private-desktop.sh)
"${desktop[@]}" --no-tray --no-bus bash -c tour
# A 96-dpi desktop with a tray host: the tray's images at their own pixels.
"${desktop[@]}" --dpi 96 bash -c trayTour
