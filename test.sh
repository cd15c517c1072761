#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
# Usage: ./test.sh [default|asan|tsan]   (the preset; default: default)
# The sanitizer presets build and run only what the sanitizers change: the
# supervision and shell unit tests (the slow interrupted-reinstall test stays
# in the default build).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
preset=${1:-default}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
