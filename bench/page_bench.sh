#!/usr/bin/env bash
# What the browser page costs, from one run:
#   - executable growth: karvo of this tree against karvo of a base commit
#     without the page (the Linux release executable and the Windows one, both
#     stripped as shipped); goal: at most 80 KB more;
#   - first load: the bytes a browser receives for /ui and its files; goal:
#     under 100 KB;
#   - a poll's cost on the server: GET / as the page sends it (a browser's
#     headers and the bearer token) against GET / as a scraper sends it, and
#     against the base executable's GET /, requests/s with wrk over the same
#     machine; goal: the same;
#   - the page's memory in Chromium over polls every second (page_bench.cjs).
# Usage: bench/page_bench.sh [base commit]   (default: the commit before the
# page came in). Building the base takes a while: both of its executables are
# built from scratch in a temporary folder (KARVO_PAGE_BENCH_WINDOWS=0 leaves
# the Windows one out). Linux only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
base=${1:-$(git log --diff-filter=A --format=%H -- src/server/page.cpp | tail -n 1)^}
windows=${KARVO_PAGE_BENCH_WINDOWS:-1}
jobs=${KARVO_JOBS:-2}

scripts/deps.sh bench
[ "$windows" = 0 ] || scripts/deps.sh release
cmake --preset release >/dev/null
cmake --build --preset release --target karvo -j "$jobs" >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench --target karvo karvo_fake_machine -j "$jobs" >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "== executable growth (base $(git rev-parse --short "$base"))"
mkdir -p "$work/base/build"
git archive "$base" | tar -x -C "$work/base"
ln -s "$root/build/deps" "$work/base/build/deps"
(cd "$work/base" && cmake --preset release >/dev/null && cmake --build --preset release --target karvo -j "$jobs" >/dev/null)
size() { stat -c %s "$1"; }
growth() {  # growth NAME BASE HEAD
  local b h
  b=$(size "$2") h=$(size "$3")
  awk -v n="$1" -v b="$b" -v h="$h" \
    'BEGIN { printf "%-8s base %9d bytes, now %9d bytes: %+d bytes (%+.1f KiB)\n", n, b, h, h - b, (h - b) / 1024 }' 
}
growth linux "$work/base/build/release/bin/karvo" build/release/bin/karvo
if [ "$windows" != 0 ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target karvo -j "$jobs" >/dev/null
  (cd "$work/base" && cmake --preset windows >/dev/null && cmake --build --preset windows --target karvo -j "$jobs" >/dev/null)
  growth windows "$work/base/build/windows/bin/karvo.exe" build/windows/bin/karvo.exe
fi

echo
echo "== a poll's cost on the server (wrk, one connection, 5 s each)"
build/bench/bin/karvo_fake_machine --seconds 3600 </dev/null >"$work/machine" &
pids+=($!)
for _ in $(seq 100); do grep -q '^tree: ' "$work/machine" && break; sleep 0.1; done
export KARVO_SYSROOT=$(sed -n 's/^tree: //p' "$work/machine")
token=page-bench-token-0123456789abcdef
serve() {  # serve PROGRAM: starts it on a free port, sets port
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  KARVO_TOKEN=$token "$1" --serve "$port" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/health" && return; sleep 0.1; done
}
rate() {  # rate LABEL HEADERS...: requests/s of GET /
  local label=$1
  shift
  local args=()
  for header in "$@"; do args+=(-H "$header"); done
  local result
  result=$(wrk -t1 -c1 -d5s "${args[@]}" "http://127.0.0.1:$port/" | sed -n 's/^Requests\/sec: *//p')
  printf '%-44s %10s requests/s\n' "$label" "$result"
}
auth="Authorization: Bearer $token"
page_headers=("$auth" "Accept: application/json" "Accept-Encoding: gzip, deflate, br, zstd"
  "Accept-Language: en-US,en;q=0.9" "Sec-Fetch-Site: same-origin" "Sec-Fetch-Mode: cors" "Sec-Fetch-Dest: empty"
  "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/156.0.0.0 Safari/537.36")
serve "$work/base/build/release/bin/karvo"
rate "base, GET / as a scraper sends it" "$auth"
serve build/release/bin/karvo
rate "now, GET / as a scraper sends it" "$auth"
rate "now, GET / as the page sends it" "${page_headers[@]}"

echo
echo "== the page in Chromium"
node bench/page_bench.cjs build/release/bin/karvo build/bench/bin/karvo_fake_machine build/npm
