#!/usr/bin/env bash
# Drives the real HTTP API with wrk on loopback and reports, from one run:
#   - requests/s for GET /health and GET /metrics (each runs a discovery pass)
#     and for a refused POST (no pass: sockets and checks only),
#   - the cost of one discovery pass, measured by server_pass_bench,
#   - the server's time and CPU per request beyond that pass,
#   - the server's resident memory and open descriptors before and after
#     100,000 requests.
# Usage: bench/server_bench.sh [build folder]   (default build/bench)
# Linux only (reads /proc). The server handles one connection at a time, so
# wrk's connections mostly wait in the listen backlog.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
duration=${KARVO_BENCH_SECONDS:-10}
target_requests=100000

scripts/deps.sh bench
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BENCH=ON -DKARVO_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target karvo server_pass_bench -j 2 >/dev/null

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A port below the ephemeral range, so wrk's own client ports never collide.
for attempt in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 12000))
  # The per-pass diagnostics on standard error are not part of what is measured.
  "$build/bin/karvo" --serve "$port" >"$work/out" 2>/dev/null &
  server_pid=$!
  for _ in $(seq 100); do
    [ "$(wc -l <"$work/out")" -ge 2 ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  [ "$(wc -l <"$work/out")" -ge 2 ] && break
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
done
[ -n "$server_pid" ] || { echo "the server did not start" >&2; exit 1; }
url="http://127.0.0.1:$port"

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }
fd_count() { ls "/proc/$server_pid/fd" | wc -l; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
ticks_per_second=$(getconf CLK_TCK)

total_requests=0
# run_wrk KEY NAME PATH [wrk args...]: prints one result line, counts the requests.
run_wrk() {
  local key=$1 name=$2 path=$3
  shift 3
  local before after output requests rps errors
  before=$(cpu_ticks)
  output=$(wrk -t1 -c4 -d"${duration}s" "$@" "$url$path")
  after=$(cpu_ticks)
  requests=$(awk '/requests in/ {print $1}' <<<"$output")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$output")
  errors=$(grep -E 'Socket errors|Non-2xx' <<<"$output" | tr -s ' ' | paste -sd ';' || true)
  total_requests=$((total_requests + requests))
  awk -v name="$name" -v rps="$rps" -v n="$requests" -v ticks=$((after - before)) -v hz="$ticks_per_second" \
      -v errors="$errors" 'BEGIN {
        printf "%-22s %9.0f req/s  %8.1f us/request  server CPU %7.1f us/request  (%d requests%s)\n",
               name, rps, 1e6 / rps, ticks * 1e6 / hz / n, n, errors == "" ? "" : "; " errors }'
  echo "$key $rps $((after - before)) $requests" >>"$work/results"
}

echo "karvo server bench: $url (wrk: 1 thread, 4 connections, ${duration}s per run)"
echo

# The pass cost, measured now, in this run, on this machine.
pass_csv=$("$build/bin/server_pass_bench" --benchmark_filter='DiscoveryPass|HandleMetricsRequest' \
  --benchmark_format=csv --benchmark_min_time=2 2>/dev/null)
pass_us=$(awk -F, '/^"?DiscoveryPass"?,/ {print $3}' <<<"$pass_csv")
pass_cpu_us=$(awk -F, '/^"?DiscoveryPass"?,/ {print $4}' <<<"$pass_csv")
handle_us=$(awk -F, '/^"?HandleMetricsRequest"?,/ {print $3}' <<<"$pass_csv")
printf 'one discovery pass:    %8.1f us wall, %.1f us CPU\n' "$pass_us" "$pass_cpu_us"
printf 'request checks + response formatting: %.2f us\n\n' "$handle_us"

# A few requests first, so the "before" snapshot is of a server that has served.
for _ in 1 2 3; do curl -s -o /dev/null "$url/health"; done
rss_before=$(rss_kb)
fds_before=$(fd_count)

printf 'wrk.method = "POST"\n' >"$work/post.lua"
run_wrk refused "POST / (405, no pass)" / -s "$work/post.lua"
run_wrk health "GET /health" /health
run_wrk metrics "GET /metrics" /metrics
while [ "$total_requests" -lt "$target_requests" ]; do
  run_wrk more "GET /health (more)" /health
done

rss_after=$(rss_kb)
fds_after=$(fd_count)
echo
awk -v pass="$pass_us" -v pass_cpu="$pass_cpu_us" -v hz="$ticks_per_second" '
  $1 == "health" { rps = $2; ticks = $3; n = $4 }
  $1 == "refused" { refused_rps = $2; refused_ticks = $3; refused_n = $4 }
  END {
    per = 1e6 / rps
    printf "GET /health: %.1f us per request = pass %.1f us + %.1f us beyond it (%.0f%% of the pass)\n",
           per, pass, per - pass, (per - pass) / pass * 100
    cpu = ticks * 1e6 / hz / n
    printf "server CPU per GET /health: %.1f us = pass %.1f us + %.1f us beyond it (%.0f%% of the pass)\n",
           cpu, pass_cpu, cpu - pass_cpu, (cpu - pass_cpu) / pass_cpu * 100
    # A refused request takes the same socket path and checks, minus the pass.
    refused = 1e6 / refused_rps
    refused_cpu = refused_ticks * 1e6 / hz / refused_n
    printf "server work without the pass (a refused request): %.1f us wall (%.0f%% of the pass), %.1f us CPU (%.0f%%)\n",
           refused, refused / pass * 100, refused_cpu, refused_cpu / pass_cpu * 100
  }' "$work/results"
echo
printf 'resident memory: %s kB before, %s kB after %d requests\n' "$rss_before" "$rss_after" "$total_requests"
printf 'open descriptors: %s before, %s after\n' "$fds_before" "$fds_after"
