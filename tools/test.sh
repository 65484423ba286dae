#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds every preset and runs
# every test. The last line is CTest's summary of the main suite.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev python3 libcups2-dev zlib1g-dev cups unzip iproute2 dpkg-dev man-db
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 clang libclang-rt-14-dev
          parallel nftables rsync ansible-core minisign chromium osslsigncode
          libavahi-client-dev libsnmp-dev avahi-daemon avahi-utils dbus snmpd snmp)
source tools/packages.sh
install_missing "${packages[@]}"

jobs=$(nproc)
top=$PWD
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
cmake --preset linux -DHOLM_WIN64_DIR="$top/build/win64" -DHOLM_WIN32_DIR="$top/build/win32" >/dev/null
cmake --build --preset linux -j "$jobs"

# A minute of each fuzz target (clang and libFuzzer, its own build).
HOLM_JOBS=$jobs bash tools/fuzz.sh 60

# The sanitizer build runs the native suites (but not the "long" ones, which
# only wait out fixed time-outs); the main build runs them all, the Windows
# program under Wine included. Most end-to-end tests spend their time asleep
# in the program's fixed waits, so more of them run at once than there are
# cores.
ctest --preset asan -j "$((jobs * 2))" -LE long --output-on-failure
ctest --preset linux -j "$((jobs * 3))" --output-on-failure
