#!/usr/bin/env bash
# Fails unless the Windows executable imports only DLLs that every Windows ships
# and that load nothing of the window system: user32 and gdi32 (and shell32,
# ole32, which load them) would be mapped at every start, before karvo does
# anything. What karvo uses of them (DXGI's gdi32 entry point) it loads at run
# time, only in the step that needs it.
set -euo pipefail
exe=$1
allowed='^(kernel32|msvcrt|ws2_32|advapi32|bcrypt)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
echo "$exe imports: $(echo $imports)"
bad=$(echo "$imports" | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected imports: $bad" >&2
  exit 1
fi
