#!/usr/bin/env bash
# Builds the static mbedTLS 3.6 libraries that karvo's HTTPS links in, for this
# Linux machine and for the mingw-w64 cross build, into
# build/deps/mbedtls-{version}/{linux,mingw}-{configuration}/{include,lib},
# reusing them when they are there. {configuration} is the first 12 hex digits
# of the SHA-256 of cmake/mbedtls_config.h: a changed configuration gets a build
# of its own beside the others, so checkouts of different ages can share
# build/deps without rebuilding each other's libraries. The source is Debian trixie's source package, fetched with a
# private source list (the machine's own apt sources are not touched); apt
# checks the signed index and the checksums of the downloaded files. Only the
# modules a TLS 1.2/1.3 server with X.509 certificates needs are built
# (cmake/mbedtls_config.h). Prints the folder of the build on standard output.
# Usage: scripts/mbedtls.sh [linux|mingw|all]   (default all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build/deps"
targets=${1:-all}
mirror=$(sed -n 's/^URIs:[[:space:]]*\(http[^ ]*debian\)[[:space:]]*$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
mirror=${KARVO_DEBIAN_MIRROR:-${mirror:-http://deb.debian.org/debian}}

apt_dir="$deps/apt"
mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
cat > "$apt_dir/sources/trixie-src.sources" <<SOURCES
Types: deb-src
URIs: $mirror
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_private=(-o "Dir::Etc::SourceParts=$apt_dir/sources" -o Dir::Etc::SourceList=/dev/null
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)

# The newest 3.6.x trixie carries: the index is refreshed once a day at most,
# and a build already cached for that version is taken as it is.
stamp="$apt_dir/updated"
if [ ! -f "$stamp" ] || [ -n "$(find "$stamp" -mmin +1440)" ]; then
  apt-get "${apt_private[@]}" update -qq >&2 || [ -f "$stamp" ] || { echo "mbedtls: apt-get update failed" >&2; exit 1; }
  touch "$stamp"
fi
version=$(apt-get "${apt_private[@]}" source --print-uris mbedtls 2>/dev/null |
  sed -n "s/.*mbedtls_\([0-9][0-9.]*\)\.orig\.tar.*/\1/p" | head -n 1)
case "$version" in
  3.6.*) ;;
  *) echo "mbedtls: trixie offers '${version:-nothing}', expected 3.6.x" >&2; exit 1 ;;
esac
out="$deps/mbedtls-$version"
src="$out/src"
configuration=$(sha256sum "$root/cmake/mbedtls_config.h" | cut -c1-12)

if [ ! -f "$src/.complete" ]; then
  rm -rf "$src" "$out/download"
  mkdir -p "$out/download"
  # apt verifies the signature of the index and the .dsc's checksums here.
  (cd "$out/download" && apt-get "${apt_private[@]}" source --download-only -qq mbedtls >&2)
  mkdir -p "$src"
  tar -xf "$out/download/mbedtls_$version.orig.tar."* -C "$src" --strip-components=1
  for extra in "$out/download/mbedtls_$version.orig-"*.tar.*; do
    [ -e "$extra" ] || continue
    name=${extra##*orig-}; name=${name%%.tar.*}
    mkdir -p "$src/$name" && tar -xf "$extra" -C "$src/$name" --strip-components=1
  done
  touch "$src/.complete"
fi

build_one() {  # name cc ar [make args...]
  local name=$1 cc=$2 ar=$3; shift 3
  local dest="$out/$name-$configuration" work="$out/work-$name-$configuration"
  [ -f "$dest/.complete" ] && return
  rm -rf "$dest" "$work"
  cp -a "$src" "$work"
  cp "$root/cmake/mbedtls_config.h" "$work/include/karvo_mbedtls_config.h"
  echo "mbedtls $version: building the $name static libraries ($configuration)" >&2
  make -s -C "$work/library" -j "${KARVO_JOBS:-2}" CC="$cc" AR="$ar" "$@" \
    CFLAGS="-Os -ffunction-sections -fdata-sections -DMBEDTLS_CONFIG_FILE='\"karvo_mbedtls_config.h\"'" \
    libmbedcrypto.a libmbedx509.a libmbedtls.a >"$out/build-$name-$configuration.log" 2>&1 ||
    { cat "$out/build-$name-$configuration.log" >&2; echo "mbedtls: the $name build failed" >&2; exit 1; }
  mkdir -p "$dest/lib"
  cp -a "$work/include" "$dest/include"
  cp "$work/library/"lib{mbedtls,mbedx509,mbedcrypto}.a "$dest/lib/"
  rm -rf "$work"
  touch "$dest/.complete"
}
case "$targets" in
  linux|all) build_one linux "${CC:-gcc}" ar ;;&
  mingw|all) build_one mingw x86_64-w64-mingw32-gcc x86_64-w64-mingw32-ar WINDOWS_BUILD=1 ;;
  linux) ;;
  *) echo "usage: $0 [linux|mingw|all]" >&2; exit 2 ;;
esac
echo "$out"
