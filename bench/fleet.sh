#!/usr/bin/env bash
# The fleet benchmark: the old holm-fleet (the bash script of 52be62b, taken
# from git) against the new one, each with one printer, 1000 and 10,000
# simulated printers at once (each restarting for 30 s after its image):
# wall time against one printer, holm-fleet's own CPU time and memory
# without the bundles', bundles at once, every image exactly once. Builds the
# bench preset (holm, holm-pack, the meter) and prints one line a run, then
# the new program's targets. Run as root (network namespaces, cgroups);
# half an hour or more on two shared cores (the bash version alone takes
# some twenty minutes at 10,000 printers). Options go to bench/fleet.py:
#   --new PATH     the new holm-fleet (default build/bench/holm-fleet)
#   --old PATH     the old one (default: tools/holm-fleet of 52be62b)
#   --sizes LIST   fleet sizes (default 1000,10000)
#   --down-seconds S, --per-sim N, --ping-sockets allowed|default, --json FILE,
#   --keep-reports DIR (each run's report.html, for bench/report.py --file),
#   --restart-delay S (how long a printer answers after its image, default 2),
#   --no-old-side (the new program and the bare launcher only), --no-bare
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev zlib1g-dev iproute2 nftables parallel git)
source tools/packages.sh
install_missing "${packages[@]}"

cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
exec python3 bench/fleet.py --build build/bench "$@"
