#!/usr/bin/env bash
# Builds and runs every test suite: native Linux, Linux under AddressSanitizer
# and UndefinedBehaviorSanitizer (with bounded fuzzing runs), and the Windows
# cross build under Wine, plus the release executables in dist/. Stops at the
# first failing stage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
export KARVO_WINEPREFIX="$PWD/build/wine"

stage() { printf '\n==== %s\n' "$*"; }

for preset in linux linux-asan windows; do
  stage "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# The benchmarks are compiled (not run) so they cannot rot.
stage "build bench"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs"

stage "Windows executable imports"
scripts/check-imports.sh build/windows/bin/karvo.exe

stage "Wine prefix"
time scripts/wine-run.sh wineboot -i >/dev/null 2>&1 || true
# Creating a prefix restarts Wine's services within the same session; let that
# session end so that no later session meets two service managers.
WINEPREFIX=$KARVO_WINEPREFIX timeout 120 wineserver -w || true

stage "release executables"
scripts/release.sh
scripts/check-release.sh

# Wine starts its own processes (wineserver, services, the desktop) for the
# first program of a session, and they inherit that program's output streams:
# ctest would wait on a suite's output for as long as they live. One idle
# program, started away from ctest's pipes, holds a session open for the
# whole Windows suite, so no suite is the one that starts it.
wine_session() {
  scripts/wine-run.sh build/windows/bin/fakes/child/karvo_child.exe sleep 5400000 </dev/null >/dev/null 2>&1 &
  wine_keeper=$!
  scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 || true
}
end_wine_session() {
  # A suite's process that is still running is a leak worth knowing about.
  left=$(ps -eo stat=,args= | awk '$1 !~ /^Z/ && $2 != "awk" && /\.exe/ && !/karvo_child\.exe sleep/ &&
    !/system32\\(services|winedevice|plugplay|svchost|rpcss|explorer)\.exe/' || true)
  if [ -n "$left" ]; then printf 'Windows processes left running by the suites:\n%s\n' "$left"; fi
  kill "$wine_keeper" 2>/dev/null || true
  WINEPREFIX=$KARVO_WINEPREFIX wineserver -k </dev/null >/dev/null 2>&1 || true
}

total=0
for preset in linux linux-asan windows; do
  stage "test $preset"
  log="build/ctest-$preset.log"
  if [ "$preset" = windows ]; then wine_session; trap end_wine_session EXIT; fi
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  total=$((total + ${count:-0}))
done
stage "all suites passed"
echo "suites: $total passed, 0 failed"
