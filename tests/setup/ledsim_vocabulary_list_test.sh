#!/usr/bin/env bash
# cmake/ledsim_vocabulary.cmake on lists of its own: a list makes every profile in
# the order the scenarios go through them, the driver's fault kinds and the C
# header's X-macros; a malformed list stops with its line named and nothing written,
# since a word mistyped there would otherwise reach ledsim and the driver unseen.
#
# Usage: ledsim_vocabulary_list_test.sh CMAKE SOURCE_DIR
set -euo pipefail

cmake=$1
generator=$2/cmake/ledsim_vocabulary.cmake
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# generate NAME: runs the generator on $work/NAME.txt into $work/NAME/; its status in
# $status, its messages in $err.
generate() {
  status=0
  err=$(timeout 60 "$cmake" -DLEDSIM_VOCABULARY_LIST="$work/$1.txt" -DLEDSIM_VOCABULARY_OUT="$work/$1" \
    -P "$generator" 2>&1) || status=$?
}

cat >"$work/good.txt" <<'EOF'
# a comment, and an empty line below

layout wide wide 0
layout narrow wide 1
feature dim dim_light 1
feature fast slow 0
fault gone GONE driver
fault stuck STUCK ledsim stays at its last value
EOF
generate good
((status == 0)) || fail "a good list: status $status: $err"
expected_profiles='wide
wide+dim
wide+fast
wide+dim+fast
narrow
narrow+dim
narrow+fast
narrow+dim+fast'
[[ $(cat "$work/good/ledsim_profiles.txt" 2>&1) == "$expected_profiles" ]] ||
  fail "profiles of a good list:"$'\n'"$(cat "$work/good/ledsim_profiles.txt" 2>&1)"
[[ $(cat "$work/good/ledsim_driver_faults.txt" 2>&1) == gone ]] ||
  fail "driver faults of a good list: $(cat "$work/good/ledsim_driver_faults.txt" 2>&1)"
header=$(cat "$work/good/ledsim_vocabulary.h" 2>&1)
for line in $'\tX("narrow", wide, 1)' $'\tX("fast", slow, 0)' $'\tX("gone", GONE, "", 1) \\' \
  $'\tX("stuck", STUCK, "stays at its last value", 0)' '#define LEDSIM_PROFILE_LAYOUT_WORDS "wide or narrow"' \
  '#define LEDSIM_PROFILE_FEATURE_WORDS "+dim, +fast"' '#define LEDSIM_DRIVER_FAULT_WORDS "gone"'; do
  grep -qxF -- "$line" <<<"$header" || fail "the header of a good list lacks the line '$line'"
done

# bad NAME LINE MESSAGE TEXT: the good list with line LINE (1-based) replaced by
# TEXT stops with "NAME.txt:LINE: ..." containing MESSAGE, and writes nothing.
bad() {
  local name=$1 line=$2 message=$3 text=$4
  awk -v n="$line" -v text="$text" 'NR == n { print text; next } { print }' "$work/good.txt" >"$work/$name.txt"
  generate "$name"
  ((status != 0)) || fail "$name: accepted"
  [[ $err == *"$name.txt:$line: "*"$message"* ]] || fail "$name: the message does not name line $line and '$message': $err"
  [[ ! -e $work/$name ]] || fail "$name: wrote $(ls "$work/$name")"
}
bad unknown-kind 8 'is not layout, feature or fault' 'faults stuck STUCK ledsim'
bad twice 6 'listed twice' 'feature wide slow 0'
bad where-mistyped 7 'is not ^(driver|ledsim)$' 'fault gone GONE drivr'
bad value-not-a-flag 5 'is not ^[01]$' 'feature dim dim_light 2'
bad extra-word 3 'a layout is' 'layout wide wide 0 1'
bad too-short 7 'fewer than four words' 'fault gone GONE'
bad upper-case-word 4 'is not ^[a-z][a-z0-9-]*$' 'layout Narrow wide 1'
bad id-lower-case 7 'is not ^[A-Z][A-Z_]*$' 'fault gone gone driver'
bad quote-in-help 8 'help' 'fault stuck STUCK ledsim stays "stuck"'

# A list without a layout, or with a character CMake would split at.
grep -v '^layout' "$work/good.txt" >"$work/no-layout.txt"
generate no-layout
if ((status == 0)) || [[ $err != *"at least one layout and one fault"* ]]; then
  fail "no layout: status $status: $err"
fi
sed 's/stays at its last value/stays; at its last value/' "$work/good.txt" >"$work/semicolon.txt"
generate semicolon
if ((status == 0)) || [[ $err != *'";", "[" and "]" have no place'* ]]; then
  fail "a semicolon: status $status: $err"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "vocabulary lists checked"
