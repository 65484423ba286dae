#!/usr/bin/env bash
# The main job, shown on a fresh Debian 12 machine (as root): builds holm,
# makes a bundle that carries a sample firmware image, and delivers it over
# the network to the simulated printer, once as a user would and once more
# with -d. The printer lives in a private network namespace; nothing leaves
# the machine. Everything made here is removed at the end.
#
# Exit status 0 when both deliveries succeeded and the printer received the
# image unchanged each time, 1 otherwise. HOLM_DEMO_BUILD may name a build
# folder that already holds holm and holm-pack: they are used as they are,
# and nothing is built (the tests run the demo so).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
if [ "$(id -u)" != 0 ]; then
  echo "run this as root: it installs packages and makes network namespaces" >&2
  exit 1
fi
source tools/packages.sh
install_missing cmake g++ make libgtest-dev python3 libcups2-dev zlib1g-dev iproute2
build=${HOLM_DEMO_BUILD:-}
if [ -z "$build" ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)" --target holm holm-pack
  build=$top/build/linux
fi

tool_ns=holm-demo-tool-$$
printer_ns=holm-demo-printer-$$
work=$(mktemp -d)
sim_pid=
# Whatever the clean-up meets (the simulator's status once it is stopped),
# the script's status stays the outcome of the deliveries.
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  ip netns del "$tool_ns" 2>/dev/null || true
  ip netns del "$printer_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Two namespaces joined by a veth pair: the tool at 198.18.0.1, the printer
# at 198.18.0.5.
ip netns add "$tool_ns"
ip netns add "$printer_ns"
ip -n "$tool_ns" link add veth0 type veth peer name veth1 netns "$printer_ns"
ip -n "$tool_ns" addr add 198.18.0.1/24 dev veth0
ip -n "$printer_ns" addr add 198.18.0.5/24 dev veth1
for ns in "$tool_ns" "$printer_ns"; do
  ip -n "$ns" link set lo up
done
ip -n "$tool_ns" link set veth0 up
ip -n "$printer_ns" link set veth1 up

cd "$work"
mkdir fw raw
{ printf 'qUoRdaViNe'; head -c 300000 /dev/urandom; } > fw/image.bin
"$build/holm-pack" -o fw-update.exe fw/image.bin >/dev/null
ip netns exec "$printer_ns" python3 "$top/tools/printer-sim/printer_sim.py" \
  --raw-dir raw --log printer.log &
sim_pid=$!
for _ in $(seq 100); do grep -q ready printer.log 2>/dev/null && break; sleep 0.1; done

failures=0
deliver() {
  echo
  echo "\$ ./fw-update.exe $*"
  local started=$SECONDS status=0
  ip netns exec "$tool_ns" ./fw-update.exe "$@" || status=$?
  echo "[exit status $status after $((SECONDS - started)) s]"
  [ "$status" = 0 ] || failures=$((failures + 1))
}

echo "A bundle with a firmware image of $(stat -c %s fw/image.bin) bytes; the printer is at 198.18.0.5."
deliver -n 198.18.0.5
echo
echo "Once more with -d: event characters instead of progress lines (p probe,"
echo "t console step, w one-second wait, # one chunk of up to 8192 bytes, s success)."
deliver -d -n 198.18.0.5

echo
echo "What the printer saw (its log):"
python3 - printer.log <<'EOF'
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    what = {k: v for k, v in e.items() if k not in ("event", "file")}
    print("  " + e["event"], *(f"{k}={v!r}" for k, v in what.items()))
EOF
received=0
for job in raw/job*.bin; do
  [ -e "$job" ] || continue
  received=$((received + 1))
  if cmp -s "$job" fw/image.bin; then
    echo "$job: the firmware image, byte for byte"
  else
    echo "$job: differs from the firmware image"
    failures=$((failures + 1))
  fi
done
echo
if [ "$received" != 2 ]; then
  echo "The printer received $received images instead of 2."
  failures=$((failures + 1))
fi
if [ "$failures" = 0 ]; then
  echo "Both deliveries succeeded, and the printer received the image intact each time."
  exit 0
fi
echo "The demonstration failed: $failures of its checks did not hold (see above)."
exit 1
