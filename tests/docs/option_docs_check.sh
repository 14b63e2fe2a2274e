#!/usr/bin/env bash
# The texts karvo-docs prints from the option table: docs/options.md is the
# committed copy, the man page lints clean with groff and man, and the bash
# completion completes an option, an option's value and a file name.
# Usage: option_docs_check.sh <karvo-docs> <source dir>
set -euo pipefail
docs=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$docs" markdown | diff -u "$source/docs/options.md" - ||
  fail "docs/options.md is out of date: run karvo-docs markdown > docs/options.md"

"$docs" man > "$work/karvo.1"
warnings=$(groff -man -ww -z "$work/karvo.1" 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$work/karvo.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man: $warnings"

"$docs" bash > "$work/karvo.bash"
touch "$work/token.txt"
complete_words() {  # the completions for the words given, the last one being completed
  (cd "$work" && bash -c 'source ./karvo.bash; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _karvo; echo "${COMPREPLY[*]}"' _ "$@")
}
[ "$(complete_words karvo --token-f)" = "--token-file" ] || fail "bash: --token-f"
[ "$(complete_words karvo --listen loc)" = "localhost" ] || fail "bash: --listen loc"
[ "$(complete_words karvo --token-file tok)" = "token.txt" ] || fail "bash: --token-file tok"
[ -z "$(complete_words karvo --token '')" ] || fail "bash: --token offers something"
[ "$(complete_words karvo service un)" = "uninstall" ] || fail "bash: service un"
[ "$(complete_words karvo --serve --li)" = "--listen" ] || fail "bash: an optional value lets options through"
[ "$(complete_words karvo to)" = "top" ] || fail "bash: to"
[ "$(complete_words karvo top --j)" = "" ] || fail "bash: karvo top offers --json"
[ "$(complete_words karvo top --no)" = "--no-color" ] || fail "bash: karvo top --no"
[ "$(complete_words karvo top --ascii b)" = "blocks" ] || fail "bash: karvo top --ascii b"

if command -v zsh >/dev/null; then
  "$docs" zsh > "$work/_karvo"
  zsh -n "$work/_karvo" || fail "zsh: syntax"
fi
echo "option documents: 1 passed, 0 failed"
