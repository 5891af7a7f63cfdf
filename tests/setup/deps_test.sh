#!/usr/bin/env bash
# scripts/deps against a stand-in apt: dpkg, dpkg-query, apt-cache, apt-get and id
# are scripts on PATH that play a machine (what is installed, its foreign
# architectures, whether its lists know the armhf kernel) and log what they are
# asked to do. Checks which packages each set installs, that the demo set neither
# adds the armhf architecture nor needs it, and what --list prints.
#
# Usage: deps_test.sh DEPS_SCRIPT
set -euo pipefail

deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The stand-in apt. $FAKE_MACHINE holds: installed (a package a line), foreign
# (architectures), lists-know-armhf (present once apt's lists know the armhf kernel),
# uid, and log (every apt and dpkg call that would change the machine).
stubs=$work/stubs
mkdir -p "$stubs"
cat >"$stubs/dpkg-query" <<'STUB'
#!/usr/bin/env bash
package=${!#}
grep -qx -- "$package" "$FAKE_MACHINE/installed" || exit 1
echo "install ok installed"
STUB
cat >"$stubs/dpkg" <<'STUB'
#!/usr/bin/env bash
case $1 in
--print-foreign-architectures) cat "$FAKE_MACHINE/foreign" ;;
--add-architecture) echo "dpkg $*" >>"$FAKE_MACHINE/log"; echo "$2" >>"$FAKE_MACHINE/foreign" ;;
*) echo "dpkg stand-in: unexpected $*" >&2; exit 99 ;;
esac
STUB
cat >"$stubs/apt-cache" <<'STUB'
#!/usr/bin/env bash
[[ $1 == policy ]] || { echo "apt-cache stand-in: unexpected $*" >&2; exit 99; }
grep -qx armhf "$FAKE_MACHINE/foreign" || exit 100
echo "$2:"
if [[ -e $FAKE_MACHINE/lists-know-armhf ]]; then
  echo "  Candidate: 6.1.1"
else
  echo "  Candidate: (none)"
fi
STUB
cat >"$stubs/apt-get" <<'STUB'
#!/usr/bin/env bash
words=()
while (($#)); do
  case $1 in
  -o) shift 2 ;;
  -y | -qq | --no-install-recommends) shift ;;
  *) words+=("$1"); shift ;;
  esac
done
echo "apt-get ${words[*]}" >>"$FAKE_MACHINE/log"
case ${words[0]} in
update) grep -qx armhf "$FAKE_MACHINE/foreign" && touch "$FAKE_MACHINE/lists-know-armhf"; exit 0 ;;
install) printf '%s\n' "${words[@]:1}" >>"$FAKE_MACHINE/installed" ;;
*) echo "apt-get stand-in: unexpected ${words[*]}" >&2; exit 99 ;;
esac
STUB
cat >"$stubs/id" <<'STUB'
#!/usr/bin/env bash
[[ $1 == -u ]] || { echo "id stand-in: unexpected $*" >&2; exit 99; }
cat "$FAKE_MACHINE/uid"
STUB
chmod +x "$stubs"/*

# machine NAME UID INSTALLED_SET FOREIGN LISTS_KNOW_ARMHF: a fresh stand-in machine
# in $work/NAME with INSTALLED_SET (a set name, or "none") installed.
machine() {
  local dir=$work/$1
  mkdir -p "$dir"
  echo "$2" >"$dir/uid"
  : >"$dir/installed"
  [[ $3 == none ]] || "$deps" --list "$3" >"$dir/installed"
  printf '%s' "${4:+$4$'\n'}" >"$dir/foreign"
  [[ $5 == no ]] || touch "$dir/lists-know-armhf"
  : >"$dir/log"
}

# deps_on NAME ARGS...: runs scripts/deps on machine NAME; its status in $status,
# its standard error in $err.
deps_on() {
  local name=$1
  shift
  status=0
  err=$(FAKE_MACHINE=$work/$name PATH=$stubs:$PATH timeout 60 "$deps" "$@" 2>&1 >/dev/null) || status=$?
}

expect_log() {
  local name=$1 expected=$2
  local log
  log=$(cat "$work/$name/log")
  [[ $log == "$expected" ]] || fail "$name: apt and dpkg were asked:"$'\n'"$log"$'\n'"instead of:"$'\n'"$expected"
}

mapfile -t demo < <("$deps" --list demo)
mapfile -t all < <("$deps" --list all)

# What the demo leaves out: emulators, cross compilers, clang, valgrind, shellcheck, and
# the test and benchmark libraries its build does not use. Everything it has, all has too.
((${#demo[@]})) || fail "the demo set is empty"
for package in qemu-system-arm qemu-user g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf \
  clang libclang-rt-14-dev clang-format valgrind shellcheck libgtest-dev libgmock-dev googletest libbenchmark-dev; do
  printf '%s\n' "${demo[@]}" | grep -qx -- "$package" && fail "the demo set has $package"
  printf '%s\n' "${all[@]}" | grep -qx -- "$package" || fail "the all set lacks $package"
done
for package in "${demo[@]}"; do
  printf '%s\n' "${all[@]}" | grep -qx -- "$package" || fail "$package is in the demo set but not in all"
done
for package in cmake ninja-build pkg-config libfuse3-dev; do
  printf '%s\n' "${demo[@]}" | grep -qx -- "$package" || fail "the demo set lacks $package"
done
[[ $("$deps" --list) == "$("$deps" --list all)" ]] || fail "--list without a set is not the all set"

# A fresh machine: the demo set installs only its packages and never touches the
# armhf architecture; all adds it and installs everything.
machine fresh-demo 0 none "" no
deps_on fresh-demo demo
((status == 0)) || fail "demo on a fresh machine: status $status: $err"
[[ $err == *"package set 'demo'"* ]] || fail "demo does not say which set it sets up: $err"
expect_log fresh-demo "apt-get update"$'\n'"apt-get install ${demo[*]}"

machine fresh-all 0 none "" no
deps_on fresh-all all
((status == 0)) || fail "all on a fresh machine: status $status: $err"
[[ $err == *"package set 'all'"* ]] || fail "all does not say which set it sets up: $err"
expect_log fresh-all "dpkg --add-architecture armhf"$'\n'"apt-get update"$'\n'"apt-get install ${all[*]}"

# The demo set in place on a machine without armhf: nothing to do. all on the same
# machine adds armhf and installs only what the demo set did not.
machine demo-ready 0 demo "" no
deps_on demo-ready demo
((status == 0)) || fail "demo with the demo set in place: status $status: $err"
expect_log demo-ready ""
deps_on demo-ready all
((status == 0)) || fail "all after demo: status $status: $err"
expect_log demo-ready "dpkg --add-architecture armhf"$'\n'"apt-get update"$'\n'"apt-get install ${all[*]:${#demo[@]}}"

# Not root: it names the set and what to run, changes nothing and fails; the demo's
# advice has no armhf step.
machine user-demo 1000 none "" no
deps_on user-demo demo
((status == 1)) || fail "demo as a user on a fresh machine: status $status, expected 1"
[[ $err == *"run scripts/deps demo"* && $err != *armhf* ]] || fail "demo as a user: $err"
expect_log user-demo ""
machine user-all 1000 all "" no
deps_on user-all all
((status == 1)) || fail "all as a user without armhf: status $status, expected 1"
[[ $err == *"dpkg --add-architecture armhf"* ]] || fail "all as a user without armhf: $err"
expect_log user-all ""

# An unknown set is refused before anything is looked at.
machine unknown 0 none "" no
deps_on unknown everything
((status == 2)) || fail "an unknown set: status $status, expected 2"
[[ $err == *usage:* ]] || fail "an unknown set: $err"
expect_log unknown ""

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package sets checked"
