#!/usr/bin/env bash
# Keeps the client connected to the stand-in appliance for a while (default 60 minutes) with
# random faults mixed into its keep-alives, and prints resident memory, open files, threads and
# log growth per tick at the start and at the end.
#   scripts/soak.sh [MINUTES] [SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target velmora-soak velmora-appliance
QT_QPA_PLATFORM=offscreen exec scripts/in-loopback-namespace.sh \
    build/tests/velmora-soak "${1:-60}" build/tools/appliance/velmora-appliance ${2:+"$2"}
