#!/usr/bin/env bash
# Measures velmora-auth against its floors and prints one table of medians with the budgets
# (docs/performance.md):
#   scripts/benchmark.sh              11 runs of start and memory, 5 of login, login with a busy
#                                     disk, discovery and idle (60-second windows); budgets
#                                     checked
#   scripts/benchmark.sh --quick      one run each, a 5-second idle window, no budget check (CI)
#   --build-dir DIR                   build and run from DIR (default build-bench, a Release build)
#   --runs N, --start-runs N, --idle-seconds S, --only start,login,busy-login,discovery,idle
#                                     are handed to the driver (velmora-bench --help)
# The table is also written to DIR/benchmark/result.md. Exit status: 0 when every budget is met
# (or, with --quick, when every measure ran), 1 when a budget is missed, 2 when a measure failed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
driver_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=${2:?--build-dir needs a folder}; shift 2 ;;
        *) driver_options+=("$1"); shift ;;
    esac
done

# The test set: the stand-in's and the desktop's tools (Xvfb, dbus-daemon, gnome-keyring).
scripts/install-deps.sh test
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF
fi
cmake --build "$build" -j "$(nproc)" --target \
    velmora-auth velmora-http velmora-appliance velmora-bench velmora-bench-floor \
    velmora-bench-login velmora-bench-gets velmora-bench-discovery-floor

work=$(realpath "$build")/benchmark
rm -rf "$work"
mkdir -p "$work"
export VELMORA_BENCH_BUILD=$(realpath "$build") VELMORA_BENCH_WORK=$work

# Inside the namespace, on a desktop of its own (tests/desktop/private-desktop.sh): 96 dots per
# inch, a desktop at 100 %, so the window is 400 x 600 pixels as the floor's is; no tray host; and
# a session as a user's is, a session bus with an unlocked keyring, so that none of the programs
# starts a bus of its own (X11 autolaunch) or a keyring daemon in the middle of a measure. The
# programs run from the checkout, where the window icon assets/icon.ico is.
measure() {
    local build=$VELMORA_BENCH_BUILD work=$VELMORA_BENCH_WORK
    echo -n bench | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    exec "$build/tools/benchmark/velmora-bench" \
        --program "$build/velmora-auth" \
        --floor "$build/tools/benchmark/velmora-bench-floor" \
        --harness "$build/tools/benchmark/velmora-bench-login" \
        --gets "$build/tools/benchmark/velmora-bench-gets" \
        --discovery-floor "$build/tools/benchmark/velmora-bench-discovery-floor" \
        --appliance "$build/tools/appliance/velmora-appliance" \
        --program-folder "$PWD" --work "$work" --out "$work/result.md" "$@"
}
export -f measure
# A higher priority where allowed (root), for the benchmark and everything it starts alike, so
# that other work on the machine disturbs the figures less.
priority=()
if nice -n -10 true 2>/dev/null; then priority=(nice -n -10); fi
# Everything the benchmark starts talks to loopback only.
exec "${priority[@]}" scripts/in-loopback-namespace.sh tests/desktop/private-desktop.sh \
    --no-tray --dpi 96 --bus /usr/share/dbus-1/session.conf \
    bash -c 'measure "$@"' measure "${driver_options[@]}"
