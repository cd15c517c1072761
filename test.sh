#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
# Usage: ./test.sh [default|asan|tsan|posix-spawn]   (the preset; default: default;
# posix-spawn builds and runs only the supervision suite)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
preset=${1:-default}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
