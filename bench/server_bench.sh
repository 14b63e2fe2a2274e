#!/usr/bin/env bash
# Drives the real HTTP API with wrk on loopback and reports, from one run:
#   - requests/s for GET /ready and GET /metrics (answered from discovery
#     passes: one connection, a pass per request; four, passes shared by the
#     requests that arrive together), GET /health (no pass) and a refused POST
#     (no pass: sockets and checks only),
#   - the cost of one discovery pass, measured by server_pass_bench,
#   - the server's time and CPU per request beyond that pass,
#   - the server's resident memory and open descriptors before and after
#     100,000 requests,
#   - a scrape's latency with 0, 10 and 50 idle connections held open (goal:
#     within 10% of the latency with none),
#   - resident memory over 100,000 requests of a server whose passes go
#     through the display library double (goal: growth under 256 kB after the
#     first 1,000),
#   - HTTPS with a P-256 certificate (a new connection and full handshake for
#     every request): scrape latency against plain HTTP (goal: at most 2x),
#     resident memory over 10,000 HTTPS requests (goal: flat after the first
#     1,000), a scrape's latency with 50 half-open TLS handshakes held open
#     (goal: within 10%), and the executables' sizes.
# Usage: bench/server_bench.sh [build folder]   (default build/bench)
# Linux only (reads /proc). Passes run one at a time beside the socket loop;
# requests that arrive while one runs share the next.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
duration=${KARVO_BENCH_SECONDS:-10}
target_requests=100000

scripts/deps.sh bench
if [ ! -f "$build/build.ninja" ]; then
  # With the tests: the display library double is one of their fakes.
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BENCH=ON -DKARVO_TESTS=ON >/dev/null
fi
cmake --build "$build" --target karvo server_pass_bench fake_adl -j 2 >/dev/null

work=$(mktemp -d)
server_pid=""
holder_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  server_pid=""
}
cleanup() {
  if [ -n "$holder_pid" ]; then kill "$holder_pid" 2>/dev/null || true; wait "$holder_pid" 2>/dev/null || true; fi
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

# start_server [env assignments...]: starts karvo --serve on a free port with
# the options in server_args, sets url.
server_args=()
scheme=http
start_server() {
  # A port below the ephemeral range, so wrk's own client ports never collide.
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 12000))
    # The per-pass diagnostics on standard error are not part of what is measured.
    env "$@" "$build/bin/karvo" --serve "$port" ${server_args[@]+"${server_args[@]}"} >"$work/out" 2>/dev/null &
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
  url="$scheme://127.0.0.1:$port"
}
start_server

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
run_wrk health "GET /health (no pass)" /health
run_wrk ready "GET /ready (1 conn.)" /ready -c1
run_wrk shared "GET /ready (4 conn.)" /ready
run_wrk metrics "GET /metrics" /metrics
while [ "$total_requests" -lt "$target_requests" ]; do
  run_wrk more "GET /health (more)" /health
done

rss_after=$(rss_kb)
fds_after=$(fd_count)
echo
awk -v pass="$pass_us" -v pass_cpu="$pass_cpu_us" -v hz="$ticks_per_second" '
  $1 == "ready" { rps = $2; ticks = $3; n = $4 }
  $1 == "shared" { shared_rps = $2 }
  $1 == "refused" { refused_rps = $2; refused_ticks = $3; refused_n = $4 }
  END {
    per = 1e6 / rps
    printf "GET /ready, one connection: %.1f us per request = pass %.1f us + %.1f us beyond it (%.0f%% of the pass)\n",
           per, pass, per - pass, (per - pass) / pass * 100
    cpu = ticks * 1e6 / hz / n
    printf "server CPU per GET /ready: %.1f us = pass %.1f us + %.1f us beyond it (%.0f%% of the pass)\n",
           cpu, pass_cpu, cpu - pass_cpu, (cpu - pass_cpu) / pass_cpu * 100
    printf "GET /ready, four connections: %.0f req/s, %.2fx one connection (passes shared)\n",
           shared_rps, shared_rps / rps
    # A refused request takes the same socket path and checks, minus the pass.
    refused = 1e6 / refused_rps
    refused_cpu = refused_ticks * 1e6 / hz / refused_n
    printf "server work without the pass (a refused request): %.1f us wall (%.0f%% of the pass), %.1f us CPU (%.0f%%)\n",
           refused, refused / pass * 100, refused_cpu, refused_cpu / pass_cpu * 100
  }' "$work/results"
echo
printf 'resident memory: %s kB before, %s kB after %d requests\n' "$rss_before" "$rss_after" "$total_requests"
printf 'open descriptors: %s before, %s after\n' "$fds_before" "$fds_after"

# --- A scrape's latency while idle connections are held open. -------------
# The holder keeps N connections open that never send a byte, opening a new
# one whenever the server closes one at its 5-second deadline.
cat >"$work/hold_idle.py" <<'PY'
import selectors, socket, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
# "hello": each connection sends the first bytes of a TLS ClientHello and stops (a half-open handshake).
first = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" if sys.argv[3:] == ["hello"] else b""
sel = selectors.DefaultSelector()
def open_one():
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(first)
    sel.register(s, selectors.EVENT_READ)
for _ in range(count):
    open_one()
print("ready", flush=True)
while True:
    for key, _ in sel.select(timeout=1):
        sel.unregister(key.fileobj)
        key.fileobj.close()
        open_one()
PY
idle_latency() {
  local idle=$1 output
  if [ "$idle" -gt 0 ]; then
    python3 "$work/hold_idle.py" "$port" "$idle" ${2:-} >"$work/holder" &
    holder_pid=$!
    for _ in $(seq 100); do grep -q ready "$work/holder" 2>/dev/null && break; sleep 0.05; done
  fi
  output=$(wrk -t1 -c1 -d"${duration}s" --latency "$url/metrics")
  if [ -n "$holder_pid" ]; then kill "$holder_pid" 2>/dev/null || true; wait "$holder_pid" 2>/dev/null || true; fi
  holder_pid=""
  awk -v idle="$idle" '/^    Latency/ {avg = $2} /^     50%/ {p50 = $2} /^     99%/ {p99 = $2}
    /requests in/ {n = $1} END { printf "%d\t%s\t%s\t%s\t%s\n", idle, avg, p50, p99, n }' <<<"$output"
}
to_us() { awk '{ v = $1; if (v ~ /us$/) v += 0; else if (v ~ /ms$/) v *= 1000; else if (v ~ /s$/) v *= 1e6; print v }'; }
echo
echo "scrape latency (GET /metrics, one connection, ${duration}s each) with idle connections held open:"
for idle in 0 10 50; do idle_latency "$idle"; done >"$work/idle"
base=$(awk -F'\t' '$1 == 0 {print $2}' "$work/idle" | to_us)
while IFS=$'\t' read -r idle avg p50 p99 n; do
  avg_us=$(to_us <<<"$avg")
  awk -v idle="$idle" -v avg="$avg" -v p50="$p50" -v p99="$p99" -v n="$n" -v a="$avg_us" -v b="$base" 'BEGIN {
    printf "  %2d idle: average %-9s median %-9s 99%% %-9s (%d scrapes) %+.1f%% against none\n",
           idle, avg, p50, p99, n, (a - b) / b * 100 }'
done <"$work/idle"
stop_server

# --- HTTPS. ----------------------------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench-ca \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -keyout "$work/tls.key" -out "$work/tls.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/tls.ext"
openssl x509 -req -in "$work/tls.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -extfile "$work/tls.ext" -out "$work/tls.pem" 2>/dev/null
chmod 600 "$work/tls.key"
scrape_average_us() {
  wrk -t1 -c1 -d"${duration}s" --latency "$url/metrics" | awk '/^    Latency/ {print $2}' | to_us
}
echo
echo "HTTPS (P-256 certificate, a full handshake per request) against plain HTTP, GET /metrics, one connection:"
scheme=http; server_args=(); start_server
plain_us=$(scrape_average_us)
stop_server
scheme=https; server_args=(--tls-cert-file "$work/tls.pem" --tls-key-file "$work/tls.key"); start_server
curl -sf --cacert "$work/ca.pem" -o /dev/null "$url/health" || { echo "the HTTPS server does not answer" >&2; exit 1; }
https_us=$(scrape_average_us)
awk -v p="$plain_us" -v h="$https_us" 'BEGIN {
  printf "  plain %.1f us, HTTPS %.1f us average: %.2fx (goal: at most 2x)\n", p, h, h / p }'

https_requests=0
for _ in $(seq 1000); do curl -s -k -o /dev/null "$url/health"; done
https_requests=1000
rss_first=$(rss_kb)
while [ "$https_requests" -lt 10000 ]; do
  output=$(wrk -t1 -c4 -d2s "$url/health")
  https_requests=$((https_requests + $(awk '/requests in/ {print $1}' <<<"$output")))
done
rss_last=$(rss_kb)
printf '  resident memory: %s kB after the first 1,000 HTTPS requests, %s kB after %d (%+d kB)\n' \
  "$rss_first" "$rss_last" "$https_requests" $((rss_last - rss_first))

for idle in 0 50; do idle_latency "$idle" hello; done >"$work/idle-tls"
base=$(awk -F'\t' '$1 == 0 {print $2}' "$work/idle-tls" | to_us)
with=$(awk -F'\t' '$1 == 50 {print $2}' "$work/idle-tls" | to_us)
awk -v b="$base" -v w="$with" 'BEGIN {
  printf "  scrape with 50 half-open TLS handshakes held open: %.1f us against %.1f us (%+.1f%%; goal: within 10%%)\n",
         w, b, (w - b) / b * 100 }'
stop_server
scheme=http
server_args=()

echo
printf 'executable sizes: %s %d bytes' "$build/bin/karvo" "$(stat -c %s "$build/bin/karvo")"
[ -f build/windows/bin/karvo.exe ] && printf ', build/windows/bin/karvo.exe %d bytes' "$(stat -c %s build/windows/bin/karvo.exe)"
echo "  (goals: under 2 MiB Linux, 1.5 MiB Windows)"

# --- Resident memory of passes through the display library double. ---------
# No HIP runtime and no PowerShell: every pass asks the double to discover its
# one GPU itself, so the allocation callback is used by every request.
cat >"$work/adl.scenario" <<'TXT'
alloc 1024
adapter 0 4098 3 0 0
udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002&REV_C8
name AMD Radeon Bench GPU
driver 31.0.24027.1012
sensor 1 2400
sensor 8 45
sensor 73 2505
memory ADL2_Adapter_MemoryInfoX4_Get GDDR6
TXT
mkdir -p "$work/empty"
start_server LD_LIBRARY_PATH="$build/bin/fakes/adl" KARVO_FAKE_ADL="$work/adl.scenario" PATH="$work/empty"
grep -q 'Bench GPU' <(curl -s "$url/metrics") || { echo "the display library double was not used" >&2; exit 1; }
# count_requests N: GET /metrics until N requests in all have been answered.
adl_requests=0
count_requests() {
  local output
  while [ "$adl_requests" -lt "$1" ]; do
    output=$(wrk -t1 -c4 -d2s "$url/metrics")
    adl_requests=$((adl_requests + $(awk '/requests in/ {print $1}' <<<"$output")))
  done
}
for _ in $(seq 1000); do curl -s -o /dev/null "$url/metrics"; done
adl_requests=1000
rss_first=$(rss_kb)
count_requests 100000
rss_last=$(rss_kb)
echo
printf 'display library passes: resident memory %s kB after the first 1,000 requests, %s kB after %d (%+d kB)\n' \
  "$rss_first" "$rss_last" "$adl_requests" $((rss_last - rss_first))

