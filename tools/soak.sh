#!/usr/bin/env bash
# Runs the native suites under the sanitizers beside the Windows program's
# suites under Wine, ROUNDS times in a row (default 5), the way the test
# command loads the machine, and prints one line a round. Needs the builds
# that tools/test.sh makes; the logs stay in build/soak/.
set -uo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
jobs=$(nproc)
mkdir -p build/soak
failed=0
for round in $(seq "$rounds"); do
  start=$(date +%s)
  ctest --preset asan -j "$((jobs * 2))" -LE long --output-on-failure >"build/soak/asan-$round.log" 2>&1 &
  asan=$!
  ctest --preset linux -j "$((jobs * 3))" -R '^e2e\.wine\.' --output-on-failure >"build/soak/wine-$round.log" 2>&1
  wine_status=$?
  wait "$asan"
  asan_status=$?
  [ "$wine_status" = 0 ] && [ "$asan_status" = 0 ] || failed=$((failed + 1))
  echo "round $round: $(( $(date +%s) - start )) s;" \
       "Wine: $(grep -h 'tests passed' "build/soak/wine-$round.log");" \
       "ASan: $(grep -h 'tests passed' "build/soak/asan-$round.log")"
done
echo "$((rounds - failed)) of $rounds rounds passed"
[ "$failed" = 0 ]
