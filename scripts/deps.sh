#!/usr/bin/env bash
# Installs the Debian packages that the given build needs, only those missing.
# Usage: scripts/deps.sh run|test|release|bench
set -euo pipefail

# make, bzip2 and the keyring: the mbedTLS build below (apt-get source checks
# trixie's signed index against debian-archive-keyring).
# zlib1g-dev: the static zlib linked into the Linux executable (libz-mingw-w64-dev
# is the Windows one). gzip packs the browser page at build time. libdrm-dev
# (tests only): the kernel's amdgpu UAPI header, whose structures the
# driver-answer tests are built from.
packages=(cmake ninja-build g++ make bzip2 debian-archive-keyring zlib1g-dev gzip)
# npm installs the chart library the page embeds (and the browser driver of its
# tests); a machine without it gets Debian's Node.js and npm.
command -v npm >/dev/null || packages+=(nodejs npm)
case "${1:-run}" in
  run) ;;
  # chromium: Debian's own browser, which the page's tests drive headless; tmux: the
  # terminal karvo top's tests drive.
  test) packages+=(libgtest-dev googletest clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 curl openssl prometheus python3-jsonschema python3-yaml lintian groff man-db bash-completion zsh libdrm-dev chromium tmux) ;;
  release) packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev) ;;
  bench) packages+=(libgtest-dev libbenchmark-dev wrk curl openssl time python3 chromium) ;;
  *) echo "usage: $0 run|test|release|bench" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# mbedTLS 3.6 (HTTPS), built static into build/deps/ once and reused: for this
# machine always, and for the Windows cross build where it is made.
case "${1:-run}" in
  test|release) "$(dirname "$0")/mbedtls.sh" all >/dev/null ;;
  *) "$(dirname "$0")/mbedtls.sh" linux >/dev/null ;;
esac

# The npm packages of package.json at the versions package-lock.json pins,
# into build/npm/ (npm ci checks each against the integrity the lock records).
# uPlot is embedded into both executables; puppeteer-core drives Debian's
# Chromium in the tests and the benchmark and never downloads a browser.
# Installed again only when the lock or the set needed changes.
root=$(cd "$(dirname "$0")/.." && pwd)
npm_dir=$root/build/npm
case "${1:-run}" in
  test|bench) npm_set=all ;;
  *) npm_set=runtime ;;
esac
lock_hash=$(sha256sum <"$root/package-lock.json" | cut -d' ' -f1)
stamp="$lock_hash $npm_set"
installed=$(cat "$npm_dir/installed" 2>/dev/null || true)
# Everything installed serves a build that needs only uPlot too.
if [ "$installed" != "$stamp" ] && [ "$installed" != "$lock_hash all" ]; then
  mkdir -p "$npm_dir"
  rm -f "$npm_dir/installed"
  cp "$root/package.json" "$root/package-lock.json" "$npm_dir/"
  omit=()
  [ "$npm_set" = all ] || omit=(--omit=dev)
  if ! (cd "$npm_dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund "${omit[@]}" \
        >"$npm_dir/npm-ci.log" 2>&1); then
    cat "$npm_dir/npm-ci.log" >&2
    echo "error: npm could not install uPlot (and the test tools) pinned in package-lock.json: is the npm registry reachable? The build needs it; nothing is used in its place." >&2
    exit 1
  fi
  echo "$stamp" >"$npm_dir/installed"
fi
