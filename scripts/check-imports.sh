#!/usr/bin/env bash
# Fails unless the Windows executable imports only DLLs that every Windows ships.
set -euo pipefail
exe=$1
allowed='^(kernel32|msvcrt|ws2_32|advapi32|user32|shell32|ole32|bcrypt|api-ms-win-crt-.*|ucrtbase)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
echo "$exe imports: $(echo $imports)"
bad=$(echo "$imports" | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected imports: $bad" >&2
  exit 1
fi
