#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [seconds per target, default 60]
# Crashes and their inputs land in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
seconds=${1:-60}
build=${BUILD_DIR:-build-fuzz}
targets=(config_fuzz json_fuzz parser_fuzz kcp_fuzz tls_fuzz)
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_FUZZ=ON \
  -DZEP_TOOLS=OFF -DZEP_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  echo "== $t for ${seconds}s"
  mkdir -p "$build/corpus/$t"
  extra=()
  [[ $t == json_fuzz ]] && extra=(-max_len=65536)
  # -close_fd_mask=3 keeps the parsers' own diagnostics off the terminal.
  "$build/tests/$t" -max_total_time="$seconds" -close_fd_mask=3 "${extra[@]}" \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" 2>&1 | tail -n 2
done
