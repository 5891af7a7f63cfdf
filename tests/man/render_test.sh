#!/usr/bin/env bash
# Renders each manual page with mandoc's checker and with man (groff) and fails on
# any message, when a page lacks a section a reader looks for, or when a line is
# wider than 80 columns at MANWIDTH=80.
#
# Usage: render_test.sh MANDOC MAN PAGE...
set -uo pipefail
# Characters, not bytes, for the widths below.
export LC_ALL=C.UTF-8

mandoc=$1 man=$2
shift 2
[[ -x $mandoc ]] || { echo "FAIL: mandoc not found (scripts/deps installs it)" >&2; exit 1; }
[[ -x $man ]] || { echo "FAIL: man not found (scripts/deps installs it)" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for page in "$@"; do
  name=$(basename "$page")
  out=$("$mandoc" -T lint -W warning "$page" 2>&1)
  [[ $? == 0 && -z $out ]] || fail "$name: mandoc -T lint: $out"
  out=$(MANWIDTH=80 "$man" --warnings=all -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [[ $? == 0 && -z $out ]] || fail "$name: man --warnings: $out"
  text=$(MANWIDTH=80 "$man" -E UTF-8 -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
    grep -q "^$section\$" <<<"$text" || fail "$name: no $section section"
  done
  # A page read on an 80-column terminal: no line wider, examples included (man
  # cannot fold an .EX line, it runs past the edge).
  while IFS= read -r line; do
    ((${#line} <= 80)) || fail "$name: a line of ${#line} columns at MANWIDTH=80: $line"
  done <<<"$text"
done

# service(1) names every exit status and both variables of its environment.
text=$(MANWIDTH=200 "$man" -E UTF-8 -l "$(dirname "$1")/service.1" 2>/dev/null)
for status in 0 10 20 30; do
  grep -Eq "^ +$status( |\$)" <<<"$text" || fail "service.1: exit status $status is not described"
done
for variable in QUORVEL_SERVICE_MANAGER QUORVEL_IPC_TIMEOUT_MS; do
  grep -q "$variable" <<<"$text" || fail "service.1: $variable is not described"
done
grep -q "saturates" <<<"$text" || fail "service.1: the saturating conversion is not described"

exit $((failures > 0))
