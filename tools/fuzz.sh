#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for the given number
# of seconds (default 60), one after the other, at the lowest priority.
# New inputs go to build/fuzz/corpus/<target> (kept between runs), findings
# to build/fuzz/findings/; the seeds in tests/fuzz/corpus are only read.
# Ends with status 1 on the first target that finds something.
#   usage: tools/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scanner_fuzz command_line_fuzz wait_for_text_fuzz)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${HOLM_JOBS:-2}" >/dev/null

mkdir -p build/fuzz/findings
for target in "${targets[@]}"; do
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  log=build/fuzz/$target.log
  # Hangs are infinite in these targets, so a generous time-out only keeps a
  # busy machine from being taken for one.
  if ! nice -n 19 "build/fuzz/$target" -max_total_time="$seconds" -timeout=60 -close_fd_mask=3 \
       -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target-" \
       "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: $target found a problem (see $log and build/fuzz/findings)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target ran ${seconds}s, $runs inputs, nothing found"
done
