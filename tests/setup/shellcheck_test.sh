#!/usr/bin/env bash
# Runs shellcheck over every shell script under scripts/ and target/: the files named
# *.sh and those whose first line starts a shell, each checked for the shell it
# declares, following what it sources. Fails on any finding; an exception is
# marked at its line with "# shellcheck disable=SCxxxx # reason".
#
# Usage: shellcheck_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$1
command -v shellcheck >/dev/null || {
  echo "FAIL: shellcheck is not installed; run scripts/deps all as root" >&2
  exit 1
}
cd "$source_dir"

scripts=()
while IFS= read -r -d '' file; do
  if [[ $file == *.sh ]] || head -n 1 "$file" | grep -qE '^#!.*(/|env |busybox )(ba|da)?sh( |$)'; then
    scripts+=("$file")
  fi
done < <(find scripts target -type f -print0 | sort -z)
# The checked set covers what the project runs in CI, on the target and in its guest.
for expected in scripts/test scripts/bounded.sh target/build-image target/guest/init target/guest/scenarios.sh; do
  printf '%s\n' "${scripts[@]}" | grep -qx -- "$expected" || {
    echo "FAIL: $expected is not among the scripts found" >&2
    exit 1
  }
done

# A planted finding must be found: a checker that passes everything checks nothing.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC2016 # the planted script's own $1
printf '#!/bin/sh\necho $1\n' >"$work/planted"
if timeout 120 shellcheck "$work/planted" >/dev/null 2>&1; then
  echo "FAIL: shellcheck found nothing in a script with an unquoted \$1" >&2
  exit 1
fi

status=0
timeout 240 shellcheck -x "${scripts[@]}" || status=$?
if ((status != 0)); then
  echo "FAIL: shellcheck reports the findings above (status $status) in ${#scripts[@]} scripts;" \
    "fix each, or mark it at its line: # shellcheck disable=SCxxxx # reason" >&2
  exit 1
fi
echo "shellcheck: ${#scripts[@]} scripts clean"
