#!/usr/bin/env bash
# Checks what scripts/release.sh left in dist/: the two executables of this
# version and the packages, their sums match SHA256SUMS, the Linux one runs and needs only
# the C library, the Windows one is a 64-bit executable that imports only
# system DLLs (and, when Wine is there, runs).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(karvo VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
linux="karvo-$version-linux-x86_64"
windows="karvo-$version-windows-x86_64.exe"
fail() { echo "release check: $*" >&2; exit 1; }

deb="karvo_${version}_amd64.deb" ps1="karvo-$version-windows-completion.ps1"
[ "$(ls dist | LC_ALL=C sort | tr '\n' ' ')" = "SHA256SUMS $linux $ps1 $windows $deb scoop winget " ] ||
  fail "dist/ holds: $(ls dist | tr '\n' ' ')"
(cd dist && sha256sum --strict --check --quiet SHA256SUMS)
# The .deb (lintian, installed into a throw-away root, man -l, removed), the manifests, SHA256SUMS.
python3 tests/deploy/package_checks.py dist "$version"

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
