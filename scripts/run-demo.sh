#!/usr/bin/env bash
# The main job: builds the client and the reference station, starts the station on loopback and
# the client against it. With a display the client runs until its window is closed; without one
# (or with --seconds N) it runs headless for N seconds and then quits like a closed window.
#   scripts/run-demo.sh [--seconds N] [--port N] [--build-dir DIR] [-- extra zep arguments]
# --port moves the station's port block (default 7985, or $ZEP_DEMO_PORT); --build-dir runs the
# programs already built in DIR instead of checking packages and building build-release.
# Ctrl-C, SIGTERM and the normal end all stop every process the demo started.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

seconds=""
extra=()
build=""
base=${ZEP_DEMO_PORT:-7985}
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --port) base=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  bash scripts/install-deps.sh
  build=${BUILD_DIR:-build-release}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEP_TESTS=OFF -DZEP_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)"
fi
bin=$(cd "$build/bin" && pwd)
[ -x "$bin/zep" ] || { echo "no zep in $bin" >&2; exit 2; }

run=$(mktemp -d "${TMPDIR:-/tmp}/zep-demo.XXXXXX")
logs="$run/logs"
mkdir -p "$logs"
cat > "$run/client-config.cfg" <<CFG
; demo configuration: logs next to the run, station on loopback
logger.applicationlog = $logs
CFG

# A background job of a script ignores SIGINT, so Ctrl-C reaches only this shell: it must end
# the children itself, politely first and by force after five seconds.
pids=()
stop_all() {
  local pid i
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for i in $(seq 50); do
    local alive=""
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ -z "$alive" ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
on_signal() {
  trap '' INT TERM
  stop_all
  exit "$1"
}
trap stop_all EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

station_pid=""
if [ -x "$bin/zep-station" ]; then
  "$bin/zep-station" --port "$base" --log "$run/station.jsonl" >"$run/station.out" 2>&1 &
  station_pid=$!
  pids+=("$station_pid")
  for i in $(seq 50); do
    grep -q listening "$run/station.jsonl" 2>/dev/null && break
    sleep 0.1
  done
  echo "Reference station on 127.0.0.1:$base (log $run/station.jsonl)"
else
  echo "The reference station is not built in $build; starting the client alone"
fi

export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
# The statistics CSV (logs/vektaclient.csv) is on for the demo; ZEP_STATS_CSV=0 turns it off.
export ZEP_STATS_CSV=${ZEP_STATS_CSV:-1}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export SDL_VIDEODRIVER=${SDL_VIDEODRIVER:-offscreen}
  seconds=${seconds:-15}
  echo "No display: running headless (SDL_VIDEODRIVER=$SDL_VIDEODRIVER) for ${seconds}s"
fi

cd "$run"
"$bin/zep" 127.0.0.1 --port "$base" "${extra[@]}" &
zep_pid=$!
pids+=("$zep_pid")
set +e
if [ -n "$seconds" ]; then
  sleep "$seconds" &
  timer=$!
  pids+=("$timer")
  wait -n -p ended "$zep_pid" "$timer"
  code=$?
  if [ "$ended" != "$zep_pid" ]; then
    kill -TERM "$zep_pid" 2>/dev/null
    wait "$zep_pid"
    code=$?
  fi
else
  wait "$zep_pid"
  code=$?
fi
set -e
echo "zep exited with code $code; client log: $logs/vektaclient.log"
tail -n 20 "$logs/vektaclient.log" || true
echo "Frame statistics (once a second):"
grep "] Video: " "$logs/vektaclient.log" | tail -n 5 || echo "no pictures were presented"
echo "Live statistics, once a second (last lines; all in the client log):"
grep -h "Statistics: " "$logs/vektaclient.log" | tail -n 5 | sed 's/.*Statistics: /  /' || true
echo "Statistics CSV ($logs/vektaclient.csv: latency us;full latency;frames queued;FPS (server);cursor shapes/s;audio frames/s):"
tail -n 3 "$logs/vektaclient.csv" 2>/dev/null || true
# The session over time as one picture: latency and jitter, frame rates, drops, Mbit/s.
plot="$run/session.png"
if /usr/bin/python3 "$repo/tools/zep-plot/zep-plot" "$logs/vektaclient.csv" -o "$plot" >/dev/null 2>"$run/plot.err"; then
  echo "Session plot: $plot"
else
  echo "No session plot: $(tail -n 1 "$run/plot.err")"
fi
if [ -n "$station_pid" ] && [ -f "$run/station.jsonl" ]; then
  echo "Station log (last lines):"
  tail -n 10 "$run/station.jsonl"
fi
exit "$code"
