#!/usr/bin/env bash
# Takes a picture of each page of the running window on a virtual display (Xvfb): the login
# form, the form filled in, the loading page, the connected page, the help page and the
# "How to use" box. The pictures go to build/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target velmora-screenshot-tour
mkdir -p build/screenshots

tour() {
    Xvfb :79 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    # Global, not local: the trap runs after the function has returned.
    xvfb=$!
    trap 'kill "$xvfb" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X79 ] && break; sleep 0.1; done
    local home
    home=$(mktemp -d)
    mkdir -m 700 "$home/runtime"
    # A throwaway home: the tour logs in and remembers the form.
    HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
        XDG_RUNTIME_DIR="$home/runtime" DISPLAY=:79 QT_QPA_PLATFORM=xcb \
        build/tests/velmora-screenshot-tour build/screenshots
}
export -f tour
# The tour talks to its stand-in appliance on loopback only.
exec scripts/in-loopback-namespace.sh bash -c tour
