#!/usr/bin/env bash
# Installs the Debian package on a clean Debian 12 system, as a user would, starts the installed
# program from its desktop entry on a virtual display, and removes the package again.
#   tests/package/install-test.sh [--build-dir DIR] [--package DEB]
# DIR is a test build (for the stand-in appliance and the desktop probe; default build/), DEB the
# package (default build-package/velmora-auth_*.deb, from scripts/package.sh). Runs as root.
#
# - The system is a fresh root made by mmdebstrap with the apt variant (the essential packages and
#   apt, nothing else), from Debian's own repositories; then "apt-get install
#   --no-install-recommends ./velmora-auth_*.deb" in it, so the package's Depends alone must be
#   enough.
# - In the loopback-only network namespace, a user of that system starts the Exec line of the
#   installed desktop entry from a folder of their home, on a virtual display of its own
#   (tests/desktop/private-desktop.sh, without a tray host). The desktop probe plays the tray
#   and the window manager: the tray image and the window icon must show the program's pictures
#   (the tray's is "not connected" once the check is over: the stand-in does not know the stored
#   session, and the program has no password to log in again with).
#   The user's store holds a session, so the program's first request, the session check, goes to
#   the stand-in appliance on 127.0.0.1 through the installed HTTP module.
# - apt-get remove must then take away every file the package brought and leave the user's own.
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD

build=build
deb=
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$2; shift 2 ;;
        --package) deb=$2; shift 2 ;;
        --run-in-namespace) shift; phase=run; break ;;
        *) echo "usage: $0 [--build-dir DIR] [--package DEB]" >&2; exit 2 ;;
    esac
done

appId=com.velmora.VelmoraAuth
user=ann
home=/home/$user

# The program's run, inside the loopback-only network namespace and a private mount namespace.
if [ "${phase:-}" = run ]; then
    root=$1 work=$2 build=$3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    # On the display tests/desktop/private-desktop.sh made for this phase.
    appliance= probe= program=
    trap 'kill $program $probe $appliance 2>/dev/null || true' EXIT

    "$build/tools/appliance/velmora-appliance" --listen 127.0.0.1:8090:https \
        >"$work/appliance.log" 2>&1 &
    appliance=$!
    mkdir -m 700 "$work/runtime"
    XDG_RUNTIME_DIR=$work/runtime "$build/tests/package/velmora-desktop-probe" --title "Velmora Auth" \
        --tray-image assets/tray/not-connected-22.png --window-icon assets/icon.ico \
        --timeout 30 --save-pictures "$work" >"$work/probe.log" &
    probe=$!
    for _ in $(seq 100); do grep -q "tray ready" "$work/probe.log" && break; sleep 0.1; done
    grep -q "listening on https://127.0.0.1:8090" "$work/appliance.log"

    # The entry's Exec line, without field codes, as a desktop's launcher runs it.
    exec=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/$appId.desktop" \
        | sed 's/ *%[fFuUdDnNickvm]//g')
    echo "Exec line: $exec (from $home/Documents)"
    chroot --userspec=1000:1000 "$root" /usr/bin/env -i HOME="$home" USER="$user" \
        LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin DISPLAY="$DISPLAY" \
        XDG_RUNTIME_DIR=/run/user/1000 /bin/sh -c "cd $home/Documents && exec $exec" \
        >"$work/program.out" 2>&1 &
    program=$!

    status=0
    wait "$probe" || status=1
    probe=
    cat "$work/probe.log"
    log=$root$home/.local/state/Velmora/logs/app.log
    for _ in $(seq 100); do grep -q "pageto=ka" "$work/appliance.log" && break; sleep 0.1; done
    if request=$(grep -m1 "pageto=ka" "$work/appliance.log"); then
        echo "first request at the stand-in: $request"
    else
        echo "no keep-alive reached the stand-in; the program's log:"
        cat "$log" 2>/dev/null || true
        status=1
    fi
    if module=$(grep -o "/usr/lib/.*/velmora-http.so" "/proc/$program/maps" | sort -u); then
        echo "HTTP module mapped from $module"
    else
        echo "the installed HTTP module is not mapped"
        status=1
    fi
    kill -TERM "$program"
    wait "$program" || true
    program=
    exit $status
fi

[ "$(id -u)" -eq 0 ] || { echo "$0 runs as root (mmdebstrap, chroot)" >&2; exit 2; }
if [ -z "$deb" ]; then
    deb=$(ls build-package/velmora-auth_*.deb 2>/dev/null | tail -1)
    [ -n "$deb" ] || { echo "no package: run scripts/package.sh first" >&2; exit 2; }
fi
deb=$(realpath "$deb")
build=$(realpath "$build")
scripts/install-deps.sh test >/dev/null

work=$(mktemp -d /tmp/velmora-install.XXXXXX)
root=$work/root
trap 'rm -rf --one-file-system "$work"' EXIT

# Every path of the system with its kind, except what apt and dpkg keep for themselves.
listFiles() {
    (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./sys -o -path ./run \
        -o -path ./tmp -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache \
        -o -path ./var/log \) -prune -o -printf '%y %p\n' | sort)
}

start=$(date +%s)
echo "== system root: mmdebstrap --variant=apt bookworm"
# In mmdebstrap's last step, where the root has the network and its mounts: what a user does.
cat >"$work/install-hook.sh" <<HOOK
#!/bin/sh
set -e
cp "$deb" "\$1/tmp/"
chroot "\$1" sh -c 'cd /tmp && DEBIAN_FRONTEND=noninteractive \\
    apt-get install -y -q --no-install-recommends ./$(basename "$deb")' >"$work/apt-install.log"
rm "\$1/tmp/$(basename "$deb")"
HOOK
chmod +x "$work/install-hook.sh"
mmdebstrap --quiet --variant=apt --mode=root --format=directory \
    --customize-hook="$work/install-hook.sh" bookworm "$root" \
    "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
echo "root made and package installed in $(($(date +%s) - start)) s;" \
    "$(chroot "$root" dpkg-query -W -f='${binary:Package}\n' | wc -l) packages"
grep -E "^(Setting up velmora-auth|[0-9]+ upgraded)" "$work/apt-install.log"
chroot "$root" dpkg-query -W -f='${Package} ${Version}\n' velmora-auth

installed=$(listFiles)
packaged=$(chroot "$root" dpkg-query -L velmora-auth)

# A user with a home, a runtime folder and a stored session with the stand-in's address.
echo "$user:x:1000:1000:$user:$home:/bin/sh" >>"$root/etc/passwd"
echo "$user:x:1000:" >>"$root/etc/group"
install -d -o 1000 -g 1000 -m 700 "$root$home" "$root$home/Documents" "$root/run/user/1000"
install -d -o 1000 -g 1000 -m 700 "$root$home/.config" "$root$home/.config/Velmora"
cat >"$root$home/.config/Velmora/VelmoraAuth.conf" <<'STORE'
[General]
keep_userid=7
keep_username=ann
keep_k1=12345
keep_fixedIP=127.0.0.1
keep_fixedPort=8090
keepAlive_isHttps=1
STORE
chown 1000:1000 "$root$home/.config/Velmora/VelmoraAuth.conf"

echo "== the installed program, started from its desktop entry"
status=0
scripts/in-loopback-namespace.sh unshare --mount --propagation private \
    tests/desktop/private-desktop.sh --no-tray --no-bus \
    "$0" --run-in-namespace "$root" "$work" "$build" || status=1

echo "== apt-get remove velmora-auth"
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q -o Dpkg::Use-Pty=0 velmora-auth \
    | grep -E "^(Removing|[0-9]+ upgraded)"
removed=$(listFiles)
gone=$(comm -23 <(echo "$installed") <(echo "$removed") | cut -c3-)
left=$(comm -13 <(echo "$installed") <(echo "$removed") | cut -c3- | grep -v "^\.$home\(/\|$\)" \
    | grep -v "^\./run/user" || true)
kept=$(comm -13 <(echo "$installed") <(echo "$removed") | cut -c3- | grep "^\.$home/\." || true)
# Everything the package listed is gone, its folders too unless another package shares them.
while read -r path; do
    [ -e "$root$path" ] || continue
    [ -d "$root$path" ] && [ -n "$(ls -A "$root$path")" ] && continue
    echo "left behind by the package: $path"
    status=1
done <<<"$packaged"
if [ -n "$left" ]; then
    echo "new outside the user's home after removal:"
    echo "$left"
    status=1
fi
echo "removed $(echo "$gone" | grep -c .) paths of the package; the user's files stay:"
echo "$kept" | grep -E "\.(conf|log)$" | sed 's/^/  /'
echo "install test took $(($(date +%s) - start)) s"
[ $status -eq 0 ] && echo "install test: passed" || echo "install test: FAILED"
exit $status
