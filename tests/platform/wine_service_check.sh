#!/usr/bin/env bash
# The Windows service under Wine's service control manager and its `sc`:
# installed from environment settings (KARVO_TOKEN_FILE and KARVO_TLS_*, in a
# folder whose name has a blank), started, scraped over HTTPS, stopped within
# 5 s, uninstalled; then a bad token file makes the start fail with the service
# stopped and karvo's exit code 1.
# Usage: wine_service_check.sh <karvo.exe> <scripts/wine-run.sh>
set -uo pipefail
exe=$1 wine=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/karvo service.XXXXXX")
fail() { echo "FAIL: $*" >&2; exit 1; }
w() { timeout 60 "$wine" "$@" 2>/dev/null | tr -d '\r'; }
state() { w sc query karvo | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
wait_state() {  # wait_state STATE SECONDS: true once the service reports STATE
  local end=$((SECONDS + $2))
  while ((SECONDS < end)); do [ "$(state)" = "$1" ] && return 0; sleep 0.2; done
  return 1
}
cleanup() { w "$exe" service uninstall >/dev/null; rm -rf "$work"; }
trap cleanup EXIT
w "$exe" service uninstall >/dev/null  # a service left by an interrupted run

token=0123456789abcdef0123456789abcdef
printf '%s\r\n' "$token" > "$work/token"
# A CA and the service's certificate for 127.0.0.1.
ssl() { openssl "$@" >/dev/null 2>&1 || fail "openssl $*"; }
ssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=karvo test CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem"
ssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" -keyout "$work/tls key.pem" \
  -out "$work/server.csr"
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > "$work/server.ext"
ssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -extfile "$work/server.ext" -out "$work/tls cert.pem"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The settings come from the environment; the service manager starts karvo
# without it, so install must register them as options.
installed=$(KARVO_TOKEN_FILE="Z:$work/token" KARVO_TLS_CERT_FILE="Z:$work/tls cert.pem" \
  KARVO_TLS_KEY_FILE="Z:$work/tls key.pem" w "$exe" service install --serve "$port")
[[ $installed == "Installed the service karvo"* ]] || fail "install: $installed"
for variable in KARVO_TOKEN_FILE KARVO_TLS_CERT_FILE KARVO_TLS_KEY_FILE; do
  grep -q "(from $variable)" <<<"$installed" || fail "install does not name $variable: $installed"
done
grep -q "It serves https://127.0.0.1:$port/ with:" <<<"$installed" || fail "install summary: $installed"
# (Wine's sc has no qc: the command line is read from the registry.)
registered=$(w reg query 'HKLM\System\CurrentControlSet\Services\karvo' /v ImagePath)
grep -q -- '--tls-cert-file=' <<<"$registered" || fail "registered without the certificate: $registered"
grep -q "$token" <<<"$registered" && fail "the token is in the service's command line: $registered"
# Wine's service manager occasionally loses a start: the service is then still
# "never started" (1077) with nothing of karvo's run. One more start tells that
# apart from a karvo that does not come up, which fails every time.
started_ok=false
for attempt in 1 2 3; do
  start_said=$(w sc start karvo)
  if wait_state RUNNING 20; then started_ok=true; break; fi
  w sc query karvo | grep -q 'WIN32_EXIT_CODE *: *1077 ' || break
  echo "sc start $attempt: never started; $start_said" >&2
done
$started_ok || fail "not running: $start_said; $(w sc query karvo); $(ps -eo pid,etimes,args | grep -i -E '[s]ervices.exe|[k]arvo')"
https=(curl -s -m 10 --cacert "$work/ca.pem")
health=$("${https[@]}" "https://127.0.0.1:$port/health")
[ "$health" = '{"status":"ok"}' ] || fail "scrape /health over HTTPS: $health"
refused=$("${https[@]}" -o /dev/null -w '%{http_code}' "https://127.0.0.1:$port/metrics")
[ "$refused" = 401 ] || fail "/metrics without the token: $refused"
scraped=$("${https[@]}" -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $token" \
  "https://127.0.0.1:$port/metrics")
[ "$scraped" = 200 ] || fail "/metrics with the token over HTTPS: $scraped"
# The browser page holds no data: served without the token by the service too.
page=$("${https[@]}" --compressed "https://127.0.0.1:$port/ui")
[[ $page == "<!doctype html>"* ]] || fail "the page without the token over HTTPS: ${page:0:200}"

started=$SECONDS
w sc stop karvo >/dev/null
wait_state STOPPED 5 || fail "not stopped within 5 s: $(w sc query karvo)"
echo "stopped after $((SECONDS - started)) s (whole seconds)"
w sc query karvo | grep -q 'SERVICE_EXIT_CODE *: *0 ' || fail "exit code after a stop: $(w sc query karvo)"
[ "$(w "$exe" service uninstall)" = "Removed the service karvo." ] || fail "uninstall"
w sc query karvo | grep -q STATE && fail "still registered after uninstall"

# A token file that is too short: the start fails and the service stops with exit code 1.
w "$exe" service install --serve "$port" --token-file "Z:$work/token" >/dev/null
printf 'short\n' > "$work/token"
w sc start karvo >/dev/null
wait_state STOPPED 30 || fail "bad token: not stopped: $(w sc query karvo)"
w sc query karvo | grep -q 'SERVICE_EXIT_CODE *: *1 ' || fail "bad token: exit code: $(w sc query karvo)"
echo "windows service: 1 passed, 0 failed"
