#!/usr/bin/env bash
# The fault suite: the built program killed at many moments of a start,
# started and stopped many times and given hostile files (tests/faults), then
# each fuzz target (fuzz/) for a bounded time. Installs what is missing and
# builds what it needs (the default and fuzz presets).
#
# Usage: tests/faults/run.sh [--long]
#   bounded (default): 20 kill moments, 40 cycles, 15 s per fuzz target
#   --long:            90 kill moments, 1000 cycles, 600 s per fuzz target
# ZORMAK_FUZZ_SECONDS overrides the fuzzing time of either variant.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

long=0
case "${1:-}" in
  "") ;;
  --long) long=1 ;;
  *) echo "usage: $0 [--long]" >&2; exit 2 ;;
esac
if ((long)); then
  export ZORMAK_FAULTS_LONG=1
  export ZORMAK_FUZZ_SECONDS=${ZORMAK_FUZZ_SECONDS:-600}
else
  # Enough for the parsers' small inputs to regress-test each run; the work
  # corpus in build/fuzz grows from run to run, and --long explores.
  export ZORMAK_FUZZ_SECONDS=${ZORMAK_FUZZ_SECONDS:-15}
fi

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
# Each group starts its own display and folders; the kills take longest,
# the other two run beside them.
ctest --test-dir build/default -L faults -j2 --output-on-failure || status=$?
ctest --preset fuzz -j2 || status=$?  # one core each
exit "$status"
