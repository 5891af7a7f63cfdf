#!/usr/bin/env bash
# Stages images from a finished build with `cmake --install` and DESTDIR: each
# install component on its own, where the staged files must be exactly that
# component's list (the device component is what ships), and everything at once,
# which must be exactly the three lists together (no install rule outside a
# component). Then runs the staged programs: the tool as the device component
# stages it, and lightsctl loading a staged module (which needs the staged log
# library) from the folder the loader searches by default.
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

# What each component stages, as paths under DESTDIR.
bin=${prefix%/}/$bindir
man1=${prefix%/}/$datadir/man/man1
mapfile -t boards <"$build/generated/boards.txt"
((${#boards[@]})) || fail "the build lists no boards"
device=("$bin/service" "$man1/service.1" "${prefix%/}/$datadir/bash-completion/completions/service")
for board in "${boards[@]}"; do
  device+=("$module_dir/lights.$board.so")
done
platform=("$bin/servicemanager" "${prefix%/}/$libdir/libquorvel_log.so")
tools=("$bin/example-services" "$bin/example-client" "$bin/lightsctl" "$man1/lightsctl.1")
if [[ $with_ledsim == 1 ]]; then
  tools+=("$bin/ledsim" "$man1/ledsim.1")
fi

# stage NAME [--component COMPONENT]: installs into $stage/NAME.
stage() {
  local name=$1
  shift
  DESTDIR=$stage/$name "$cmake" --install "$build" "$@" >"$stage/$name.log" 2>&1 ||
    { cat "$stage/$name.log" >&2; exit 1; }
}

# expect_exactly NAME PATH...: the files and links staged in $stage/NAME are
# exactly PATH...
expect_exactly() {
  local name=$1 staged expected
  shift
  staged=
  if [[ -d $stage/$name ]]; then
    staged=$(cd "$stage/$name" && find . \( -type f -o -type l \) -printf '/%P\n' | LC_ALL=C sort)
  fi
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
  if [[ $staged != "$expected" ]]; then
    fail "'$name' stages other files than it should (< staged, > expected):"$'\n'"$(diff <(echo "$staged") <(echo "$expected") || true)"
  fi
}

for component in device platform tools; do
  stage "$component" --component "$component"
done
stage all
expect_exactly device "${device[@]}"
expect_exactly platform "${platform[@]}"
expect_exactly tools "${tools[@]}"
expect_exactly all "${device[@]}" "${platform[@]}" "${tools[@]}"

root=$stage/all$prefix
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
  out=$(QUORVEL_MODULE_DIR=$stage/all$module_dir "${emulator[@]}" "$root/$bindir/lightsctl" "$board" nosuchlight 0 2>&1)
  status=$?
  set -e
  [[ $status == 1 && $out == *"nosuchlight: "*"-22 (Invalid argument)"* ]] \
    || fail "staged lightsctl with the staged $board module: status $status, output: $out"
done

# The tool as the device component alone stages it runs and reports an unreachable
# service manager.
set +e
out=$(QUORVEL_SERVICE_MANAGER=$stage/no-such-socket "${emulator[@]}" "$stage/device$bin/service" list 2>&1)
status=$?
set -e
[[ $status == 20 ]] || fail "staged service list without a service manager: status $status, output: $out"

if ((failures)); then
  echo "$failures install check(s) failed" >&2
  exit 1
fi
echo "image staged and checked"
