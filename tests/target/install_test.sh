#!/usr/bin/env bash
# Stages an image from a finished build with `cmake --install` and DESTDIR, checks
# that every part lands where it belongs, and runs the staged programs: the tool,
# and lightsctl loading a staged module (which needs the staged log library) from
# the folder the loader searches by default.
#
# Usage: install_test.sh CMAKE BUILD_DIR PREFIX BINDIR LIBDIR DATADIR MODULE_DIR WITH_LEDSIM [EMULATOR]
# (BINDIR, LIBDIR, DATADIR relative to PREFIX; MODULE_DIR absolute, as compiled into
# the loader). Target programs run through EMULATOR, a command line, when it is given.
set -euo pipefail

cmake=$1 build=$2 prefix=$3 bindir=$4 libdir=$5 datadir=$6 module_dir=$7 with_ledsim=$8
read -r -a emulator <<<"${9:-}"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

DESTDIR=$stage "$cmake" --install "$build" >"$stage.log" 2>&1 || { cat "$stage.log" >&2; rm -f "$stage.log"; exit 1; }
rm -f "$stage.log"
root=$stage$prefix

expect_file() {
  [[ -f $1 ]] || fail "missing ${1#"$stage"}"
}
expect_file "$root/$bindir/service"
expect_file "$root/$bindir/servicemanager"
expect_file "$root/$bindir/example-services"
expect_file "$root/$bindir/lightsctl"
expect_file "$root/$libdir/libquorvel_log.so"
# Every board of the build's list has its module staged.
mapfile -t boards <"$build/generated/boards.txt"
((${#boards[@]})) || fail "the build lists no boards"
for board in "${boards[@]}"; do
  expect_file "$stage$module_dir/lights.$board.so"
done
expect_file "$root/$datadir/bash-completion/completions/service"
expect_file "$root/$datadir/man/man1/service.1"
expect_file "$root/$datadir/man/man1/lightsctl.1"
if [[ $with_ledsim == 1 ]]; then
  expect_file "$root/$bindir/ledsim"
  expect_file "$root/$datadir/man/man1/ledsim.1"
elif [[ -e $root/$bindir/ledsim || -e $root/$datadir/man/man1/ledsim.1 ]]; then
  fail "ledsim or its manual page is staged in a cross build"
fi
for f in "$root/$bindir"/*; do
  [[ -x $f ]] || fail "${f#"$stage"} is not executable"
done

# The loader's default folder is where the modules were staged.
help=$(env -u QUORVEL_MODULE_DIR "${emulator[@]}" "$root/$bindir/lightsctl" --help) || fail "lightsctl --help failed"
[[ $help == *"or in $module_dir when that is unset"* ]] || fail "lightsctl's default module folder is not $module_dir: $help"

# A staged module loads with its staged log library and answers; an unknown light
# is refused before any LED file is touched.
for board in "${boards[@]}"; do
  set +e
  out=$(QUORVEL_MODULE_DIR=$stage$module_dir "${emulator[@]}" "$root/$bindir/lightsctl" "$board" nosuchlight 0 2>&1)
  status=$?
  set -e
  [[ $status == 1 && $out == *"nosuchlight: "*"-22 (Invalid argument)"* ]] \
    || fail "staged lightsctl with the staged $board module: status $status, output: $out"
done

# The staged tool runs and reports an unreachable service manager.
set +e
out=$(QUORVEL_SERVICE_MANAGER=$stage/no-such-socket "${emulator[@]}" "$root/$bindir/service" list 2>&1)
status=$?
set -e
[[ $status == 20 ]] || fail "staged service list without a service manager: status $status, output: $out"

if ((failures)); then
  echo "$failures install check(s) failed" >&2
  exit 1
fi
echo "image staged and checked"
