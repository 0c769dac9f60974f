#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that a Linux desktop finds the program:
# the binary, a desktop entry that validates, and the icon the entry names.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/velmora-auth" || { echo "no program in bin/"; exit 1; }
# One application id everywhere: the desktop entry, its icon, the metainfo and the program.
id=com.velmora.VelmoraAuth
entry="$prefix/share/applications/$id.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=velmora-auth' "$entry" || { echo "Exec does not name the program"; exit 1; }
grep -qx "Icon=$id" "$entry" || { echo "the entry's icon is not $id"; exit 1; }
for icon in "$prefix"/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/$id.png \
    "$prefix/share/icons/hicolor/scalable/apps/$id.svg"; do
    test -s "$icon" || { echo "icon missing: ${icon#"$prefix"/}"; exit 1; }
done
grep -q "<id>$id</id>" "$prefix/share/metainfo/$id.metainfo.xml" \
    || { echo "no metainfo for $id"; exit 1; }
# The program names its desktop entry too (Wayland's app id, the tray's item): the id as the
# UTF-16 text of a QStringLiteral.
utf16=$(printf '%s' "$id" | od -An -tx1 -v | tr -d '\n' | sed 's/ *\([0-9a-f][0-9a-f]\)/\\x\1\\x00/g')
LC_ALL=C grep -qaP "$utf16" "$prefix/bin/velmora-auth" \
    || { echo "the program does not name its desktop entry $id"; exit 1; }

# The installed program finds its HTTP client where it was installed: with a stored session it
# checks that session at start, which is a request (here to a loopback port nothing listens on).
home="$prefix/home"
mkdir -p "$home/config/Velmora" "$home/state" "$home/runtime"
chmod 700 "$home/runtime"
cat >"$home/config/Velmora/VelmoraAuth.conf" <<'STORE'
[General]
keep_userid=1
keep_username=ann
keep_k1=2
keep_fixedIP=127.0.0.1
keep_fixedPort=9
keepAlive_isHttps=1
STORE
log="$home/state/Velmora/logs/app.log"
HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
    XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
    "$prefix/bin/velmora-auth" >/dev/null 2>&1 &
program=$!
for _ in $(seq 100); do
    grep -q "Kindly check your network" "$log" 2>/dev/null && break
    sleep 0.1
done
kill "$program"
wait "$program" || true
if grep -q "Cannot load the HTTP client" "$log" || ! grep -q "hit keepalive API with https" "$log" \
    || ! grep -q "Kindly check your network" "$log"; then
    echo "the installed program did not send its request:"
    cat "$log"
    exit 1
fi
echo "installed layout is complete; the installed program sends its requests"
