#!/usr/bin/env bash
# Builds the benchmark preset and runs every benchmark plus the start-up script.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
for b in build/bench/bin/*_bench; do
  if [ -x "$b" ]; then "$b"; fi
done
python3 bench/startup.py build/bench
