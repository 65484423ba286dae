#!/usr/bin/env bash
# The fleet benchmark: holm-fleet with one printer, 250 and 1000 simulated
# printers (each restarting for 30 s after its image), with ICMP ping
# sockets allowed and with the default. Builds holm in release mode and
# prints one line a run. Run as root (network namespaces); about fifteen
# minutes on two shared cores. Extra arguments go to bench/fleet.py
# (--sizes, --down-seconds, --json FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev zlib1g-dev iproute2 nftables parallel)
source tools/packages.sh
install_missing "${packages[@]}"

cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
exec python3 bench/fleet.py --build build/bench "$@"
