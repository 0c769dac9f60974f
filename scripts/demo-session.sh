#!/usr/bin/env bash
# Starts the stand-in appliance and the client against it (called by run.sh, inside the
# loopback-only namespace). The demo keeps its settings and log in its own folder under the build
# folder, so trying the client leaves the user's own files alone.
set -euo pipefail
build=$(realpath "$1")
demo="$build/demo"
mkdir -p "$demo/config" "$demo/state" "$demo/runtime"
chmod 700 "$demo/runtime"
export XDG_CONFIG_HOME="$demo/config" XDG_STATE_HOME="$demo/state" XDG_RUNTIME_DIR="$demo/runtime"

children=()
cleanup() { for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

# Without a screen, the whole demo runs on a desktop of its own: a virtual display with a tray.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No screen here: the window runs on a virtual display."
    exec "$(dirname "$0")/../tests/desktop/private-desktop.sh" "$0" "$@"
fi

"$build/tools/appliance/velmora-appliance" \
    --listen 127.0.0.1:8090:https --listen 127.0.0.1:443:https --listen 127.0.0.1:80:http \
    --user demo:velmora --session-lifetime 60 >"$demo/appliance.log" 2>&1 &
children+=($!)
for _ in $(seq 50); do grep -q "listening on http://127.0.0.1:80" "$demo/appliance.log" && break; sleep 0.1; done

cat <<TEXT
The stand-in appliance answers on https://127.0.0.1:8090, https://127.0.0.1:443 and
http://127.0.0.1:80. In the window:
  User name: demo      Password: velmora
  untick "Auto detect IP address" and type 127.0.0.1 (the port is found by itself),
  then press Login. After the first login the address is remembered.
Watch the keep-alive every 4 seconds:  tail -f $demo/state/Velmora/logs/app.log
The appliance's own log:               $demo/appliance.log
Close the window to hide it in the tray; Exit from the tray menu (or Ctrl+C here) ends it.
TEXT

# The window icon is read from assets/ in the working folder.
cd "$(dirname "$0")/.."
"$build/velmora-auth"
