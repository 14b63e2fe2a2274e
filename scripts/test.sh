#!/usr/bin/env bash
# Builds and runs every test suite: native Linux, Linux under AddressSanitizer
# and UndefinedBehaviorSanitizer (with bounded fuzzing runs), and the Windows
# cross build under Wine. Stops at the first failing stage.
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

stage "Windows executable imports"
scripts/check-imports.sh build/windows/bin/karvo.exe

stage "Wine prefix"
time scripts/wine-run.sh wineboot -i >/dev/null 2>&1 || true

for preset in linux linux-asan windows; do
  stage "test $preset"
  ctest --preset "$preset" -j "$jobs"
done
stage "all suites passed"
