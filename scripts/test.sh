#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test (CI runs exactly this).
#   scripts/test.sh                 the whole suite
#   VELMORA_SANITIZER=tsan|asan scripts/test.sh
#                                   the same under ThreadSanitizer, or Address+UB sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

build=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "${VELMORA_SANITIZER:-}" in
    "") ;;
    tsan) build=build-tsan; options+=(-DVELMORA_TSAN=ON) ;;
    asan) build=build-asan; options+=(-DVELMORA_ASAN=ON) ;;
    *) echo "VELMORA_SANITIZER is tsan or asan" >&2; exit 2 ;;
esac

cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build" -j "$(nproc)"
scripts/in-loopback-namespace.sh ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The answer readers, the gateway search and the portal paths under libFuzzer, 30 seconds each
# (they bring their own AddressSanitizer and UndefinedBehaviorSanitizer).
if [ -z "${VELMORA_SANITIZER:-}" ]; then
    tests/fuzz/run-fuzzers.sh 30
    # The benchmark once, quickly and without its budgets, so that it keeps working.
    scripts/benchmark.sh --quick --build-dir "$build"
    # The Debian package, checked by lintian, appstreamcli and desktop-file-validate; then
    # installed on a clean system root, started from its desktop entry and removed (as root).
    scripts/package.sh
    if [ "$(id -u)" -eq 0 ]; then
        tests/package/install-test.sh --build-dir "$build"
    else
        echo "note: tests/package/install-test.sh runs as root only; skipped"
    fi
fi
