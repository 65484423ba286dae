#!/usr/bin/env bash
# The benchmark command: installs the peers (Debian packages), builds holm
# in release mode, measures it beside them and prints the table. Run as
# root: the send figures use a private network namespace, whose loopback
# port 9100 disturbs nothing else on the machine. Four to twelve
# minutes on two shared cores; needs about 4 GiB free under the scratch folder
# (HOLM_BENCH_SCRATCH, default /tmp). Extra arguments go to bench.py
# (--reps, --markdown FILE, --json FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3 libcups2-dev zlib1g-dev unzip socat netcat-openbsd iproute2 util-linux coreutils)
source tools/packages.sh
install_missing "${packages[@]}"

cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
exec python3 bench/bench.py --build build/bench --scratch "${HOLM_BENCH_SCRATCH:-/tmp}" "$@"
