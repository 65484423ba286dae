#!/usr/bin/env bash
# The holm-find benchmark (bench/find.py): a /22 with 250 simulated printers
# (target 5 s) and a /16 with 1000 printers, the rest silent (target 90 s,
# under 64 MiB). Builds the linux preset's holm-find and runs it as built.
# Run as root (network namespaces). Options go to bench/find.py:
#   --find PATH    the holm-find to measure (default build/linux/holm-find)
#   --json FILE    the figures as JSON as well
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev libavahi-client-dev libsnmp-dev zlib1g-dev iproute2)
source tools/packages.sh
install_missing "${packages[@]}"

cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target holm-find >/dev/null
exec python3 bench/find.py "$@"
