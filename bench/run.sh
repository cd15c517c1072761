#!/usr/bin/env bash
# Runs every benchmark and writes bench/results/ (raw JSON, summary.json,
# startup.svg) and the figures section of bench/REPORT.md.
# Usage: bench/run.sh [--quick]     (--quick: fewer rounds, smaller output and download)
# Needs the packages of scripts/debian-packages.txt (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

if ((quick)); then
  install_rounds=3 ready_rounds=10 startup_rounds=2 first_frame_rounds=2 output_rounds=1 output_bytes=$((256 << 20))
  download_rounds=2 download_bytes=$((200 * 1000 * 1000)) history_rounds=3
else
  install_rounds=9 ready_rounds=40 startup_rounds=9 first_frame_rounds=7 output_rounds=3 output_bytes=$((1 << 30))
  download_rounds=5 download_bytes=800000000,400000000 history_rounds=15
fi

cmake --preset default >/dev/null
cmake --build --preset default -j2
bin=build/default/bin
payload=build/default/share/zormak/payload
results=bench/results
mkdir -p "$results"
rm -f "$results"/*.json "$results"/*.svg

# Every temporary home, data folder and log lies in one folder of our own,
# on the file system of the user's data folder (the install's target).
work=$(mktemp -d "${HOME}/.cache/zormak-bench.XXXXXX" 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CACHE_HOME="$work/home/.cache"
mkdir -p "$HOME"

echo "bench: install"
"$bin/install_bench" "$payload" "$work/install" "$install_rounds" >"$results/install.json"
echo "bench: readiness"
"$bin/readiness_bench" "$work/ready" "$ready_rounds" >"$results/readiness.json"
echo "bench: output"
"$bin/output_bench" "$work/out" "$output_bytes" lines "$output_rounds" >"$results/output-lines.json"
"$bin/output_bench" "$work/out" "$output_bytes" noline "$output_rounds" >"$results/output-noline.json"
echo "bench: start-up, stop and memory ($(uptime))"
/usr/bin/python3 bench/startup_bench.py build/default "$results/startup.json" "$startup_rounds"
echo "bench: start-up with two CPU hogs ($(uptime))"
/usr/bin/python3 bench/startup_bench.py build/default "$results/startup-hogs.json" "$startup_rounds" 2
echo "bench: the payload's processes' memory"
/usr/bin/python3 bench/payload_memory_bench.py build/default "$results/payload-memory.json"
echo "bench: downloads ($(uptime))"
/usr/bin/python3 bench/download_bench.py build/default "$results/download.json" "$download_rounds" "$download_bytes"
echo "bench: a history of 50,000 downloads"
/usr/bin/python3 bench/history_bench.py build/default "$results/history.json" "$history_rounds"

/usr/bin/python3 bench/report.py "$results" bench/REPORT.md
echo "bench: first non-blank frame, idle and loaded"
/usr/bin/python3 bench/first_frame_bench.py build/default "$results/first-frame.json" "$first_frame_rounds" \
  --report bench/REPORT.md
echo "bench: figures written to bench/REPORT.md and $results/"
