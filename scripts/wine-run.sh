#!/usr/bin/env bash
# Runs a Windows test executable under Wine for ctest: a private prefix inside
# the build tree, Wine's own chatter silenced, the exit status passed through.
set -u
: "${WINEPREFIX:=${KARVO_WINEPREFIX:-$HOME/.cache/karvo-wine}}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
