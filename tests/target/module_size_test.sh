#!/usr/bin/env bash
# Fails when a stripped module grows past its budget. The modules are small C-ABI
# libraries; growth past the budget means something heavy (a C++ runtime, stdio
# formatting, unused sections) got linked in.
# Usage: module_size_test.sh STRIP BUDGET_BYTES MODULE...
set -euo pipefail
strip=$1 budget=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for module in "$@"; do
  "$strip" --strip-unneeded -o "$work/stripped.so" "$module"
  size=$(stat -c %s "$work/stripped.so")
  echo "$(basename "$module"): $size bytes stripped (budget $budget)"
  if ((size > budget)); then
    echo "FAIL: $(basename "$module") is over budget" >&2
    failures=$((failures + 1))
  fi
done
((failures == 0))
