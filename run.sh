#!/usr/bin/env bash
# Installs what is missing, builds ZORMAK with its bundled payload and launches it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/bin/zormak
