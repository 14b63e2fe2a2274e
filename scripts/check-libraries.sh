#!/usr/bin/env bash
# Fails unless the Linux executable needs no shared library beyond the GNU C
# library's own (libc, libm and the dynamic loader): the C++ runtime and libgcc
# must be linked in.
set -euo pipefail
exe=$1
allowed='^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$'
needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[ -n "$needed" ] || { echo "$exe: no NEEDED entries found (not a dynamic ELF executable?)" >&2; exit 1; }
echo "$exe needs: $(echo $needed)"
bad=$(echo "$needed" | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected shared libraries: $(echo $bad)" >&2
  exit 1
fi
