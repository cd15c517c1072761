#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
# Usage: ./test.sh [default|asan|tsan|posix-spawn]   (the preset; default: default)
# The other presets build and run only what their variant changes: asan and
# tsan the supervision and shell unit tests (the slow interrupted-reinstall
# test stays in the default build), posix-spawn the tests that start processes
# through the spawner.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
preset=${1:-default}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
