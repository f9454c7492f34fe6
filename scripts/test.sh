#!/usr/bin/env bash
# Installs missing packages, configures, builds and runs the whole test suite.
#   scripts/test.sh             debug build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/, the threaded suites only
#   scripts/test.sh --windows   mingw-w64 cross build in build-win/, its tests run under wine64
# Extra arguments after the mode go to ctest (for example -R Config or -L e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --windows ]; then
  shift
  exec bash scripts/test-windows.sh "$@"
fi
bash scripts/install-deps.sh
# Paths inside the tree are hashed relative to it, so a fresh clone reuses the compiler cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

mode=debug
case "${1:-}" in
  --sanitize) mode=sanitize; shift ;;
  --tsan) mode=tsan; shift ;;
esac

jobs=$(nproc)
if [ "$mode" = sanitize ]; then
  build=${BUILD_DIR:-build-asan}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEP_SANITIZE=ON -DZEP_BENCH=OFF >/dev/null
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
elif [ "$mode" = tsan ]; then
  build=${BUILD_DIR:-build-tsan}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEP_TSAN=ON -DZEP_BENCH=OFF -DZEP_TOOLS=OFF >/dev/null
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
else
  build=${BUILD_DIR:-build}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
if [ "$mode" = tsan ]; then
  # Only the suites that run threads against each other; the rest gain nothing from it.
  targets=(test_net test_kcp test_queue test_platform test_stats)
  cmake --build "$build" -j"$jobs" --target "${targets[@]}"
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -L threaded "$@"
  exit
fi
cmake --build "$build" -j"$jobs"
# End-to-end tests drive real processes, X servers and sockets on two shared cores; a test that fails
# is run once more, so a fault has to show twice (each failure is still printed).
ctest --test-dir "$build" --output-on-failure -j"$jobs" --repeat until-pass:2 "$@"
