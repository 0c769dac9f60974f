#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that a Linux desktop finds the program:
# the binary, a desktop entry that validates, and the icon the entry names.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/velmora-auth" || { echo "no program in bin/"; exit 1; }
entry="$prefix/share/applications/velmora-auth.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=velmora-auth' "$entry" || { echo "Exec does not name the program"; exit 1; }
icon=$(sed -n 's/^Icon=//p' "$entry")
test -s "$prefix/share/icons/hicolor/128x128/apps/$icon.png" || { echo "icon $icon missing"; exit 1; }
echo "installed layout is complete"
