#!/usr/bin/env bash
# Builds the two release executables into dist/ with their SHA-256 sums:
#   karvo-{version}-linux-x86_64        the `release` preset (C++ runtime linked in, stripped)
#   karvo-{version}-windows-x86_64.exe  the `windows` preset's karvo (MinSizeRel, static, stripped)
# The Windows build folder is the one the test suite uses: an up-to-date
# karvo.exe there is shipped as it is, not built again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh release

version=$(sed -n 's/^project(karvo VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
jobs=${KARVO_JOBS:-$(nproc)}

for preset in release windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target karvo
done

shown=$(build/release/bin/karvo --version)
[ "$shown" = "karvo $version" ] || { echo "the Linux build says '$shown', expected 'karvo $version'" >&2; exit 1; }

rm -rf dist
mkdir dist
install -m 0755 build/release/bin/karvo "dist/karvo-$version-linux-x86_64"
install -m 0755 build/windows/bin/karvo.exe "dist/karvo-$version-windows-x86_64.exe"
(cd dist && sha256sum "karvo-$version-linux-x86_64" "karvo-$version-windows-x86_64.exe" > SHA256SUMS)
echo "dist/ ($(git describe --always --dirty 2>/dev/null || echo 'no git')):"
cat dist/SHA256SUMS
