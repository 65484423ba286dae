#!/usr/bin/env bash
# The echo benchmark: many copies of holm probing at once (1000 by default),
# with ping sockets, with raw sockets as shipped (filtered) and with raw
# sockets unfiltered, and prints their wall and CPU times. Builds holm in
# release mode twice, the second time with HOLM_ECHO_FILTER=OFF, which
# exists for this comparison alone. Run as root (network namespaces, raw
# sockets); about three minutes. Extra arguments go to echo_scale.py
# (--copies N, --runs N).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev zlib1g-dev iproute2)
source tools/packages.sh
install_missing "${packages[@]}"

cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target holm >/dev/null
cmake --preset bench -B build/bench-nofilter -DHOLM_ECHO_FILTER=OFF >/dev/null
cmake --build build/bench-nofilter -j "$(nproc)" --target holm >/dev/null
exec python3 bench/echo_scale.py --holm build/bench/holm --holm-nofilter build/bench-nofilter/holm "$@"
