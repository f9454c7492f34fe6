#!/usr/bin/env bash
# Installs missing packages, configures, builds and runs the whole test suite.
#   scripts/test.sh             debug build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# Extra arguments after the mode go to ctest (for example -R Config or -L e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

mode=debug
if [ "${1:-}" = "--sanitize" ]; then
  mode=sanitize
  shift
fi

jobs=$(nproc)
if [ "$mode" = sanitize ]; then
  build=${BUILD_DIR:-build-asan}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEP_SANITIZE=ON -DZEP_BENCH=OFF >/dev/null
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
  build=${BUILD_DIR:-build}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@"
