#!/usr/bin/env bash
# The Windows build's tests (called as scripts/test.sh --windows): cross-builds the core
# libraries, the Win32 platform layer and their tests with mingw-w64 into build-win/, then runs
# every test program under wine64 beside one persistent wineserver, and prints the counts.
# A gtest filter may follow (for example --gtest_filter='Wait*').
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --windows
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
build=${BUILD_DIR:-build-win}
start=$(date +%s)
# The toolchain is named only when the folder is made: CMake keeps it in the cache and warns
# when it is given again.
toolchain=()
[ -f "$build/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${toolchain[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
# The HTTP tests talk to the reference back-end, a native Linux program that Wine starts beside
# the test program; it comes from the Linux build folder.
native=${NATIVE_BUILD_DIR:-build}
[ -f "$native/build.ninja" ] || cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$native" -j"$(nproc)" --target zep-backend
export ZEP_BACKEND=$(realpath "$native/bin/zep-backend")
built=$(date +%s)
echo "Windows cross build (and the native back-end) took $((built - start))s"

# One Wine prefix per build folder, made once; one wineserver for the whole run, so that each
# program starts in a fraction of a second instead of booting Wine again.
export WINEPREFIX=${WINEPREFIX:-$(realpath "$build")/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64=$(command -v wine64 || command -v wine)
mkdir -p "$WINEPREFIX"
# The persistent server first: started by a program instead, it would end a few seconds after each.
wineserver --persistent || echo "a wineserver already runs for $WINEPREFIX; using it"
trap 'wineserver --kill >/dev/null 2>&1 || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1

logs=$build/wine-logs
mkdir -p "$logs"
failed_programs=()
total_run=0 total_passed=0 total_skipped=0 total_failed=0
# Runs one program; its output without Wine's CRs in $logs/<name>.log; the exit status.
run_program() {
  local name=$1 rc=0
  shift
  (cd "$build/bin" && timeout 600 "$WINE64" "./$name.exe" --gtest_brief=1 "$@") >"$logs/$name.raw" 2>&1 || rc=$?
  tr -d '\r' <"$logs/$name.raw" >"$logs/$name.log" && rm -f "$logs/$name.raw"
  return $rc
}
for exe in "$build"/bin/test_*.exe; do
  name=$(basename "$exe" .exe)
  rc=0
  run_program "$name" "$@" || rc=$?
  if [ "$rc" -ne 0 ]; then
    # As on Linux, a failing program runs once more (Wine on two shared cores is slow and
    # uneven), so a fault has to show twice; the first failure is still printed.
    echo "== $name failed once; its output:"
    cat "$logs/$name.log"
    cp "$logs/$name.log" "$logs/$name.first-failure.log"
    rc=0
    run_program "$name" "$@" || rc=$?
  fi
  run=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran.*/\1/p' "$logs/$name.log" | tail -1)
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$logs/$name.log" | tail -1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}[.,].*/\1/p' "$logs/$name.log" | tail -1)
  nfailed=$(grep -c '^\[  FAILED  \] .* ([0-9]* ms)$' "$logs/$name.log" || true)
  run=${run:-0} passed=${passed:-0} skipped=${skipped:-0} nfailed=${nfailed:-0}
  printf '%-16s run %4d  passed %4d  skipped %3d  failed %3d  (exit %d)\n' "$name" "$run" "$passed" "$skipped" "$nfailed" "$rc"
  # Why each skipped case was skipped, from its GTEST_SKIP message.
  grep -A1 ': Skipped$' "$logs/$name.log" | grep -v -e ': Skipped$' -e '^--$' | sed 's/^/    skipped: /' || true
  total_run=$((total_run + run)) total_passed=$((total_passed + passed))
  total_skipped=$((total_skipped + skipped)) total_failed=$((total_failed + nfailed))
  if [ "$rc" -ne 0 ] || [ "$run" -eq 0 ]; then
    failed_programs+=("$name")
    cat "$logs/$name.log"
  fi
done
echo "Windows tests under Wine: $total_run run, $total_passed passed, $total_skipped skipped, $total_failed failed" \
     "in $(($(date +%s) - built))s (logs in $logs)"
if [ ${#failed_programs[@]} -gt 0 ]; then
  echo "Failed: ${failed_programs[*]}"
  exit 1
fi
