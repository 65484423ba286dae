#!/usr/bin/env bash
# The report page benchmark: the size of a 10,000-printer report.html and
# its drawing time in headless Chromium (Debian's, installed if missing).
# About two minutes on two shared cores. Extra arguments go to
# bench/report.py (--printers, --reps, --json FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
install_missing python3 chromium

exec python3 bench/report.py "$@"
