#!/usr/bin/env bash
# Installs, from Debian 12's own packages, what the project needs:
#   install-deps.sh run    building and running the client with the stand-in appliance
#   install-deps.sh package  the first, plus building the Debian package and checking it
#   install-deps.sh test   all of the above, plus the test suite (Windows layer under Wine, fuzzing)
# Installs only what is missing, so a second call costs nothing.
set -euo pipefail

run_packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools
    libcurl4-openssl-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libssl-dev openssl
    # The stand-in's own tests, the soak and the benchmark's floors use cpp-httplib.
    libcpp-httplib-dev
    # The stand-in appliance's compressed answers.
    zlib1g-dev
    # The remembered password in the desktop's keyring: QtKeychain, and the libsecret it loads.
    qtkeychain-qt5-dev libsecret-1-0
    traceroute iproute2 util-linux
    xvfb xauth
    # The benchmark watches the X server for the window being mapped.
    libxcb1-dev
)
# CPack reads the libraries' packages with dpkg-shlibdeps (dpkg-dev), which asks file.
package_packages=(
    "${run_packages[@]}"
    dpkg-dev file lintian appstream desktop-file-utils
)
test_packages=(
    "${package_packages[@]}"
    mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 doctest-dev
    clang-14 libclang-rt-14-dev llvm-14
    x11-utils
    # A system tray host for the tests on a real X display.
    trayer
    # A notification service for the notices' tests and pictures.
    dunst
    # The package's install test builds a clean system root.
    mmdebstrap
    # The screen reader's view: the accessibility bus, its Python client, a session bus.
    at-spi2-core python3-pyatspi dbus-daemon
    # NetworkManager and logind played on a private system bus for the automatic login's tests.
    python3-dbusmock
    # A real keyring for the remembered password's tests, and the tools that look into it.
    gnome-keyring libsecret-tools libglib2.0-bin
)

case "${1:-test}" in
    run) wanted=("${run_packages[@]}") ;;
    package) wanted=("${package_packages[@]}") ;;
    test) wanted=("${test_packages[@]}") ;;
    *) echo "usage: $0 [run|test|package]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
