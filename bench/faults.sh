#!/usr/bin/env bash
# The faults benchmark: holm-fleet killed (SIGKILL, its own process alone)
# at random moments of a firmware rollout to 200 simulated printers, each
# time finished by one --retry-failed; then the same rollout with one packet
# in ten dropped on every printer's link, against none dropped. Prints a
# line a trial and the totals; progress on standard error. Run as root
# (network namespaces); some twenty-five minutes on two shared cores.
# Builds the linux preset unless --build names another folder. Options go
# to bench/faults.py:
#   --printers N, --trials N, -j N, --seed N (the kill moments; printed),
#   --restart-delay S, --down-seconds S (each printer's restart after its
#   image, default 1 and 3), --loss N (drop one packet in N, default 10),
#   --only kills|loss, --json FILE, --build DIR
# Status 1 when a killed run left a printer given its image twice or
# without it after the retry.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev zlib1g-dev iproute2 nftables)
source tools/packages.sh
install_missing "${packages[@]}"

if [[ " $* " != *" --build "* ]]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)" >/dev/null
fi
exec python3 bench/faults.py "$@"
