#!/usr/bin/env bash
# Builds the Debian package from the install rules and checks it the way Debian does: lintian on
# the package, appstreamcli and desktop-file-validate on what it installs.
#   scripts/package.sh [--build-dir DIR]    a Release build for /usr in DIR (build-package/)
# The package lands in that folder: velmora-auth_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-package
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$2; shift 2 ;;
        *) echo "usage: $0 [--build-dir DIR]" >&2; exit 2 ;;
    esac
done

scripts/install-deps.sh package
# Built for /usr, where Debian puts the program's private module under the multiarch folder, with
# Debian's own hardening flags. Only what the package holds is built (velmora-package-contents).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVELMORA_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target velmora-package-contents
rm -f "$build"/velmora-auth_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/velmora-auth_*.deb)
echo "== $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

echo "== lintian"
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error --display-info "$deb"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
echo "== appstreamcli validate-tree"
# --no-net: the validator would otherwise try every address in the metainfo.
appstreamcli validate-tree --no-net --pedantic "$tree"
echo "== desktop-file-validate"
desktop-file-validate "$tree"/usr/share/applications/*.desktop && echo "desktop entry is valid"
