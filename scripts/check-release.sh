#!/usr/bin/env bash
# Checks what scripts/release.sh left in dist/: exactly the two executables of
# this version, their sums match SHA256SUMS, the Linux one runs and needs only
# the C library, the Windows one is a 64-bit executable that imports only
# system DLLs (and, when Wine is there, runs).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(karvo VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
linux="karvo-$version-linux-x86_64"
windows="karvo-$version-windows-x86_64.exe"
fail() { echo "release check: $*" >&2; exit 1; }

[ "$(ls dist | sort | tr '\n' ' ')" = "SHA256SUMS $linux $windows " ] || fail "dist/ holds: $(ls dist | tr '\n' ' ')"
[ "$(cut -d' ' -f3 dist/SHA256SUMS | sort | tr '\n' ' ')" = "$linux $windows " ] || fail "SHA256SUMS names: $(cat dist/SHA256SUMS)"
(cd dist && sha256sum --strict --check SHA256SUMS)

readelf -h "dist/$linux" | grep -q 'Machine:.*X86-64' || fail "$linux is not an x86-64 ELF file"
[ "$("dist/$linux" --version)" = "karvo $version" ] || fail "$linux --version"
scripts/check-libraries.sh "dist/$linux"

x86_64-w64-mingw32-objdump -f "dist/$windows" | grep -q 'file format pei-x86-64' || fail "$windows is not a PE32+ x86-64 file"
scripts/check-imports.sh "dist/$windows"
if command -v wine >/dev/null; then
  shown=$(scripts/wine-run.sh "dist/$windows" --version | tr -d '\r')
  [ "$shown" = "karvo $version" ] || fail "$windows --version under Wine says '$shown'"
fi
echo "release check passed: $linux, $windows"
