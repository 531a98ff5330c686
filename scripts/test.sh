#!/usr/bin/env bash
# Sets up, builds and runs every test twice: a normal build (the default
# compiler) and a clang AddressSanitizer + UndefinedBehaviorSanitizer build
# with the libFuzzer targets, each of which also runs for a few seconds.
# Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh

jobs=$(nproc)
status=0

run_suite() {
  local name=$1 dir=$2; shift 2
  echo "=== $name build ==="
  bash scripts/build.sh "$dir" "$@"
  echo "=== $name tests ==="
  if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600); then
    status=1
  fi
}

run_suite "normal" build/release
# The compiler is chosen when a tree is first configured: a sanitizer tree
# left by another compiler starts afresh.
if [ -f build/asan/CMakeCache.txt ] &&
   ! grep -q '^CMAKE_CXX_COMPILER:FILEPATH=.*clang++' build/asan/CMakeCache.txt; then
  rm -rf build/asan/CMakeCache.txt build/asan/CMakeFiles
fi
CC=clang CXX=clang++ \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "sanitizer" build/asan -DQV_SANITIZE=ON -DQV_FUZZ=ON

exit $status
