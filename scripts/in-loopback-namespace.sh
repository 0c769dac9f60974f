#!/usr/bin/env bash
# Runs a command in a private network namespace that has nothing but loopback, so the client and
# its tests can reach only the stand-in appliance: no route trace or probe ever leaves the machine,
# and the appliance's ports (80, 443, 8090) never clash with services of the host.
# Root uses a plain network namespace; other users get one inside a user namespace where they may
# bind the privileged ports too. Where neither is allowed (some containers), the command runs
# as it is, on the host's loopback.
set -euo pipefail

if [ "${VELMORA_IN_NAMESPACE:-}" = 1 ]; then
    ip link set lo up
    exec "$@"
fi

export VELMORA_IN_NAMESPACE=1
if [ "$(id -u)" -eq 0 ]; then
    unshare --net true 2>/dev/null && exec unshare --net "$0" "$@"
else
    unshare --user --map-root-user --net true 2>/dev/null \
        && exec unshare --user --map-root-user --net "$0" "$@"
fi
unset VELMORA_IN_NAMESPACE
echo "note: no private network namespace here; running on the host's loopback" >&2
exec "$@"
