#!/usr/bin/env bash
# Installs the Debian packages that the given build needs, only those missing.
# Usage: scripts/deps.sh run|test|release|bench
set -euo pipefail

# make, bzip2 and the keyring: the mbedTLS build below (apt-get source checks
# trixie's signed index against debian-archive-keyring).
# zlib1g-dev: the static zlib linked into the Linux executable (libz-mingw-w64-dev
# is the Windows one). libdrm-dev (tests only): the kernel's amdgpu UAPI header,
# whose structures the driver-answer tests are built from.
packages=(cmake ninja-build g++ make bzip2 debian-archive-keyring zlib1g-dev)
case "${1:-run}" in
  run) ;;
  test) packages+=(libgtest-dev googletest clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 curl openssl prometheus python3-jsonschema python3-yaml lintian groff man-db bash-completion zsh libdrm-dev tmux) ;;
  release) packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev) ;;
  bench) packages+=(libgtest-dev libbenchmark-dev wrk curl openssl time python3) ;;
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
