#!/usr/bin/env bash
# Builds karvo for this Linux machine and runs it with the given options.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset linux >/dev/null
cmake --build --preset linux --target karvo >/dev/null
exec build/linux/bin/karvo "$@"
