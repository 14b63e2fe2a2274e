#!/usr/bin/env bash
# Builds the release into dist/, every file in SHA256SUMS:
#   karvo-{version}-linux-x86_64        the `release` preset (C++ runtime linked in, stripped)
#   karvo-{version}-windows-x86_64.exe  the `windows` preset's karvo (MinSizeRel, static, stripped)
#   and the packages of scripts/package.sh: the .deb, the PowerShell completion,
#   the winget and scoop manifests, which download the Windows executable from
#   the base URL given (default: a placeholder under example.invalid).
# The Windows build folder is the one the test suite uses: an up-to-date
# karvo.exe there is shipped as it is, not built again.
# Usage: scripts/release.sh [base URL]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh release

version=$(sed -n 's/^project(karvo VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
jobs=${KARVO_JOBS:-$(nproc)}
base_url=${1:-https://downloads.example.invalid/karvo/v$version}

for preset in release windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target karvo
done
# The man page and completions come from the option table, through karvo-docs.
cmake --build --preset release -j "$jobs" --target karvo-docs

shown=$(build/release/bin/karvo --version)
[ "$shown" = "karvo $version" ] || { echo "the Linux build says '$shown', expected 'karvo $version'" >&2; exit 1; }

rm -rf dist
mkdir dist
install -m 0755 build/release/bin/karvo "dist/karvo-$version-linux-x86_64"
install -m 0755 build/windows/bin/karvo.exe "dist/karvo-$version-windows-x86_64.exe"
scripts/package.sh "$version" build/release/bin/karvo-docs "$base_url"
(cd dist && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum > SHA256SUMS)
echo "dist/ ($(git describe --always --dirty 2>/dev/null || echo 'no git')):"
cat dist/SHA256SUMS
