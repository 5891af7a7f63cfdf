#!/usr/bin/env bash
# The demo preset (no tests, no benchmarks) needs neither GoogleTest nor Google
# Benchmark: it configures with CMake forbidden to find either, its build files name
# neither, every source it compiles preprocesses with headers of both that stop
# the compiler first on the include path, and the lights modules build and link.
#
# A full build of the deliverables and tools takes minutes on a busy machine; the
# preprocessor pass sees every source that build compiles in a fraction of that
# time, and the configure step has already resolved every library each target links.
#
# Usage: build_without_test_libraries_test.sh CMAKE SOURCE_DIR
set -euo pipefail

cmake=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# run LIMIT NAME COMMAND...: runs a step for at most LIMIT seconds; its output is
# shown only when it fails, which ends the test.
run() {
  local limit=$1 name=$2 status=0
  shift 2
  timeout -k 10 "$limit" "$@" >"$work/step.log" 2>&1 || status=$?
  if ((status != 0)); then
    cat "$work/step.log" >&2
    ((status == 124 || status == 137)) && echo "FAIL: $name did not finish within $limit s" >&2
    echo "FAIL: $name (status $status)" >&2
    exit 1
  fi
}

poison=$work/poison
for header in gtest/gtest.h gmock/gmock.h benchmark/benchmark.h; do
  mkdir -p "$(dirname "$poison/$header")"
  echo "#error the demo build must not use $header" >"$poison/$header"
done

cd "$source_dir"
run 300 "configuring the demo preset" "$cmake" --preset demo -B "$build" \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

if grep -qiE 'gtest|gmock|benchmark' "$build/build.ninja"; then
  fail "the build files name a test or benchmark library:"$'\n'"$(grep -iE -m 5 'gtest|gmock|benchmark' "$build/build.ninja")"
fi

# The deliverables and the tools are all in the build.
targets=$(ninja -C "$build" -t targets all)
mapfile -t boards <"$build/generated/boards.txt"
outputs=(service/service lib/libquorvel_log.so platform/servicemanager/servicemanager
  tools/example_services/example-services tools/example_services/example-client
  tools/lightsctl/lightsctl tools/ledsim/ledsim)
for board in "${boards[@]}"; do
  outputs+=("lib/quorvel/hw/lights.$board.so")
done
for output in "${outputs[@]}"; do
  grep -q "^$output: " <<<"$targets" || fail "the demo build does not build $output"
done

run 600 "preprocessing every source" "$cmake" -DBUILD_DIR="$build" -DFIRST_INCLUDES="$poison" \
  -P "$(dirname "${BASH_SOURCE[0]}")/preprocess_sources.cmake"
run 900 "building the lights modules" "$cmake" --build "$build" --target lights_modules -j 2
for board in "${boards[@]}"; do
  [[ -f $build/lib/quorvel/hw/lights.$board.so ]] || fail "lights.$board.so was not built"
done

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the demo preset builds without GoogleTest and Google Benchmark"
