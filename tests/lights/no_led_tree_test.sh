#!/usr/bin/env bash
# lightsctl on a machine without /sys/class/leds: its requests fail as they would
# anyway (same statuses), and one line on standard error says to run it on a board
# or inside ledsim. With the tree there, that line is not printed.
#
# Usage: no_led_tree_test.sh LIGHTSCTL MODULE_DIR LEDSIM
# Without the tree the test makes one in a private mount namespace (root); run as
# another user it needs a machine without /sys/class/leds, or it is skipped (77).
set -uo pipefail

lightsctl=$1 module_dir=$2 ledsim=$3
export QUORVEL_MODULE_DIR=$module_dir
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
hint='lightsctl: this machine has no /sys/class/leds, so every request will fail: run lightsctl on a board or inside ledsim (ledsim --profile PROFILE -- lightsctl ...)'

# Runs lightsctl ARGS... where /sys/class/leds does not exist.
without_tree() {
  if [[ $(id -u) == 0 ]]; then
    timeout -k 5 60 unshare --mount -- sh -c 'mount -t tmpfs quorvel-no-leds /sys/class && exec "$@"' sh \
      "$lightsctl" "$@"
  else
    timeout -k 5 60 "$lightsctl" "$@"
  fi
}
if [[ $(id -u) != 0 && -e /sys/class/leds ]]; then
  echo "SKIP: needs root (a private mount namespace without /sys/class/leds)" >&2
  exit 77
fi

status=0
without_tree pavok backlight 0x808080 battery 0xff0000 >"$tmp/out" 2>"$tmp/err" || status=$?
((status == 1)) || fail "without the tree: exit status $status, not 1 (a request failed)"
[[ $(<"$tmp/out") == $'backlight: -2 (No such file or directory)\nbattery: 0' ]] ||
  fail "without the tree: standard output: $(<"$tmp/out")"
[[ $(grep -c '^lightsctl:' "$tmp/err") == 1 && $(grep '^lightsctl:' "$tmp/err") == "$hint" ]] ||
  fail "without the tree: not the one line that says where to run lightsctl: $(<"$tmp/err")"

# A load that fails, and bad arguments, keep their statuses and say nothing of it.
status=0
without_tree no-such-board backlight 0x808080 >/dev/null 2>"$tmp/err" || status=$?
((status == 3)) || fail "without the tree, a missing module: exit status $status, not 3"
grep -qF '/sys/class/leds' "$tmp/err" && fail "without the tree, a missing module: $(<"$tmp/err")"
status=0
without_tree pavok backlight >/dev/null 2>"$tmp/err" || status=$?
((status == 2)) || fail "without the tree, a bad argument: exit status $status, not 2"

if [[ $(id -u) == 0 ]]; then
  status=0
  timeout -k 5 60 "$ledsim" --profile rgb+trackball --journal /dev/null -- \
    "$lightsctl" pavok backlight 0x808080 >"$tmp/out" 2>"$tmp/err" || status=$?
  ((status == 0)) || fail "in ledsim: exit status $status: $(<"$tmp/err")"
  [[ -s $tmp/err ]] && fail "in ledsim: standard error is not empty: $(<"$tmp/err")"
fi
exit $((failures > 0))
