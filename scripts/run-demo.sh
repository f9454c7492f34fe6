#!/usr/bin/env bash
# The main job: builds the client and the reference station, starts the station on loopback and
# the client against it. With a display the client runs until its window is closed; without one
# (or with --seconds N) it runs headless for N seconds and then quits like a closed window.
#   scripts/run-demo.sh [--seconds N] [-- extra zep arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

seconds=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

build=${BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEP_TESTS=OFF -DZEP_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

run=$(mktemp -d /tmp/zep-demo.XXXXXX)
logs="$run/logs"
mkdir -p "$logs"
cat > "$run/client-config.cfg" <<CFG
; demo configuration: logs next to the run, station on loopback
logger.applicationlog = $logs
CFG

base=${ZEP_DEMO_PORT:-7985}
station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null && wait "$station_pid" 2>/dev/null || true
}
trap cleanup EXIT

if [ -x "$build/bin/zep-station" ]; then
  "$build/bin/zep-station" --port "$base" --log "$run/station.jsonl" >"$run/station.out" 2>&1 &
  station_pid=$!
  sleep 1
  echo "Reference station on 127.0.0.1:$base (log $run/station.jsonl)"
else
  echo "The reference station is not built in this tree; starting the client alone"
fi

export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export SDL_VIDEODRIVER=${SDL_VIDEODRIVER:-offscreen}
  seconds=${seconds:-15}
  echo "No display: running headless (SDL_VIDEODRIVER=$SDL_VIDEODRIVER) for ${seconds}s"
fi

bin=$(cd "$build/bin" && pwd)
cd "$run"
"$bin/zep" 127.0.0.1 --port "$base" "${extra[@]}" &
zep_pid=$!
if [ -n "$seconds" ]; then
  sleep "$seconds"
  kill -TERM "$zep_pid" 2>/dev/null || true
fi
set +e
wait "$zep_pid"
code=$?
set -e
echo "zep exited with code $code; client log: $logs/vektaclient.log"
tail -n 20 "$logs/vektaclient.log" || true
if [ -n "$station_pid" ] && [ -f "$run/station.jsonl" ]; then
  echo "Station log (last lines):"
  tail -n 10 "$run/station.jsonl"
fi
exit "$code"
