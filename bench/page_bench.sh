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
echo "== a poll's cost on the server (wrk, one connection, 3 s each, three rounds in turn)"
echo "   (requests/s depend on what else the machine does; the server's CPU time per request less so)"
build/bench/bin/karvo_fake_machine --seconds 3600 </dev/null >"$work/machine" &
pids+=($!)
for _ in $(seq 100); do grep -q '^tree: ' "$work/machine" && break; sleep 0.1; done
export KARVO_SYSROOT=$(sed -n 's/^tree: //p' "$work/machine")
token=page-bench-token-0123456789abcdef
cost() {  # cost LABEL PROGRAM HEADERS...: requests/s of GET / and the server's CPU time per request
  local label=$1 program=$2
  shift 2
  local args=() port pid before after requests
  for header in "$@"; do args+=(-H "$header"); done
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  KARVO_TOKEN=$token "$program" --serve "$port" >/dev/null 2>&1 &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/health" && break; sleep 0.1; done
  before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  requests=$(wrk -t1 -c1 -d3s "${args[@]}" "http://127.0.0.1:$port/" | sed -n 's/^ *\([0-9]*\) requests in.*/\1/p')
  after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  awk -v l="$label" -v n="$requests" -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%-40s %7.0f requests/s %7.1f us of CPU a request\n", l, n / 3, t * 1e6 / hz / n }'
}
auth="Authorization: Bearer $token"
page_headers=("$auth" "Accept: application/json" "Accept-Encoding: gzip, deflate, br, zstd"
  "Accept-Language: en-US,en;q=0.9" "Sec-Fetch-Site: same-origin" "Sec-Fetch-Mode: cors" "Sec-Fetch-Dest: empty"
  "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/156.0.0.0 Safari/537.36")
for round in 1 2 3; do
  cost "base, GET / as a scraper sends it" "$work/base/build/release/bin/karvo" "$auth"
  cost "now, GET / as a scraper sends it" build/release/bin/karvo "$auth"
  cost "now, GET / as the page sends it" build/release/bin/karvo "${page_headers[@]}"
done

echo
echo "== the page in Chromium"
node bench/page_bench.cjs build/release/bin/karvo build/bench/bin/karvo_fake_machine build/npm
