#!/usr/bin/env bash
# The main job: the real program (its simulated build) under Wine, three
# simulated modems plugged into it from outside (tools/modem-sim/), each
# exchanging checked data with the acquirer peer on 127.0.0.1 through it.
#   scripts/demo.sh [--seconds N | --forever] [--verbose] [--port P]
# Shows live progress per modem, ends with a summary, exits non-zero when a
# byte was lost or changed or a step is missing. Ctrl-C ends it cleanly.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=20 forever=() verbose=() port=47110
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "demo: --seconds needs a positive number" >&2; exit 2; }
      seconds=$2; shift 2 ;;
    --forever) forever=(--forever); shift ;;
    --verbose) verbose=(--verbose); shift ;;
    --port) [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] && [ "$2" -lt 65535 ] || { echo "demo: --port needs a port number" >&2; exit 2; }
      port=$2; shift 2 ;;
    *) echo "demo: unknown argument \"$1\" (use --seconds N, --forever, --verbose, --port P)" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] && { scripts/setup.sh || exit 1; }
command -v wine >/dev/null || { echo "demo: Wine is not installed; run scripts/demo.sh as root to install it" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "demo: Xvfb is not installed; run scripts/demo.sh as root to install it" >&2; exit 2; }
for p in $port $((port + 1)); do
  if (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null; then
    echo "demo: port $p on 127.0.0.1 is in use; choose others with --port" >&2; exit 2
  fi
done

. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
cmake --preset $preset >/dev/null && cmake --build --preset $preset --target varnel-sim >/dev/null || exit 1
cmake --preset native >/dev/null && cmake --build --preset native --target modem-sim acquirer-peer >/dev/null || exit 1
build="$PWD/build/$preset"
export WINEPREFIX="$build/wineprefix"

. tools/xvfb.sh
unset DISPLAY
start_xvfb 150 169
[ -n "$xvfb_pid" ] || { echo "demo: no free X display for Xvfb (:150 to :169)" >&2; exit 2; }
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  stop_xvfb
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/native/tools/acquirer-peer --port $((port + 1)) &
pids+=($!)
echo "demo: starting varnel-sim.exe under Wine (the first run prepares a Wine prefix, about 20 s)"
VARNEL_BUS_PORT=$port tools/wine-run.sh --prefix "$WINEPREFIX" --arch $preset "$build/app/varnel-sim.exe" \
  >"$build/demo-wine.log" 2>&1 &
pids+=($!)
build/native/tools/modem-sim --bus $port --acquirer $((port + 1)) --modems 3 --seconds "$seconds" \
  "${forever[@]}" "${verbose[@]}" </dev/null
status=$?
[ $status -eq 0 ] && echo "demo: passed" || echo "demo: FAILED (modem-sim exit $status; Wine's messages: $build/demo-wine.log)"
exit $status
