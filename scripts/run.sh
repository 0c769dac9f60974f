#!/usr/bin/env bash
# Installs what is needed, builds the client and the stand-in appliance, and starts both: the
# appliance on loopback and the client in front of it, inside a private network namespace that has
# nothing but loopback, so the client can reach nothing but the stand-in.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF
cmake --build build-run -j "$(nproc)" --target velmora-auth velmora-appliance
exec scripts/in-loopback-namespace.sh scripts/demo-session.sh build-run
