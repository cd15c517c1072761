#!/usr/bin/env bash
# Runs one fuzz target for ZORMAK_FUZZ_SECONDS (default 60) seconds, starting
# from the committed seeds. New inputs go to a work folder, never into the
# committed corpus; a crashing input is kept there as crash-* and printed.
# Usage: run_target.sh TARGET SEED_DIR WORK_DIR [libFuzzer options]
set -euo pipefail
target=$1 seeds=$2 work=$3
shift 3
seconds=${ZORMAK_FUZZ_SECONDS:-60}
mkdir -p "$work/corpus" "$work/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "$seeds" || status=$?
if ((status)); then
  for f in "$work"/artifacts/*; do
    [[ -f "$f" ]] && { echo "input $f:"; od -c "$f" | head -20; }
  done
fi
exit "$status"
