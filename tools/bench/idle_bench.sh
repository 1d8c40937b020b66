#!/usr/bin/env bash
# Idle cost of the real program (its simulated build) under Wine: modems
# attached and polled every tick, no link, no traffic. Samples the
# program's and the wineserver's processor time, memory and threads after
# a warm-up and again at the end:
#   tools/bench/idle_bench.sh [MODEMS (1..8, default 8)] [SECONDS (default 60)]
# Not a test: figures depend on the machine. Loopback only; ends by itself.
set -uo pipefail
cd "$(dirname "$0")/../.."
modems=${1:-8} seconds=${2:-60} port=47210
[[ "$modems" =~ ^[1-8]$ ]] || { echo "idle_bench: MODEMS is 1 to 8" >&2; exit 2; }
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "idle_bench: SECONDS is a positive number" >&2; exit 2; }
. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
cmake --preset $preset >/dev/null && cmake --build --preset $preset --target varnel-sim >/dev/null || exit 1
cmake --preset native >/dev/null && cmake --build --preset native --target modem-sim >/dev/null || exit 1
build="$PWD/build/$preset"
. tools/xvfb.sh
unset DISPLAY
start_xvfb 191 199
# A prefix of its own: its wineserver is ended at the end of the run.
export WINEPREFIX="$build/bench-wineprefix"
trap 'wineserver -k >/dev/null 2>&1; stop_xvfb' EXIT

VARNEL_BUS_PORT=$port tools/wine-run.sh --prefix "$WINEPREFIX" --arch $preset "$build/app/varnel-sim.exe" \
  >/dev/null 2>&1 &
for _ in $(seq 600); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
program=$(for p in $(pgrep -f varnel-sim.exe); do [ "$(cat /proc/$p/comm 2>/dev/null)" = varnel-sim.exe ] && echo $p; done | head -1)
server=$(pgrep -f 'wineserver' | head -1)
[ -n "$program" ] && [ -n "$server" ] || { echo "idle_bench: the program did not start" >&2; exit 1; }

warmup=10
build/native/tools/modem-sim --bus $port --acquirer $((port + 1)) --modems "$modems" --idle \
  --seconds $((seconds + warmup + 2)) >/dev/null 2>&1 &
sim=$!
sleep $warmup
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
field() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)
p0=$(ticks "$program") s0=$(ticks "$server") rss0=$(field "$program" VmRSS) th0=$(field "$program" Threads)
sleep "$seconds"
p1=$(ticks "$program") s1=$(ticks "$server") rss1=$(field "$program" VmRSS) th1=$(field "$program" Threads)
wait $sim
simStatus=$?
awk -v m="$modems" -v s="$seconds" -v hz="$hz" -v p=$((p1 - p0)) -v w=$((s1 - s0)) \
  -v r0="$rss0" -v r1="$rss1" -v t0="$th0" -v t1="$th1" 'BEGIN {
  printf "idle_bench: %d modems polled every tick, no link, %d s (after %d s of warm-up)\n", m, s, 10
  printf "  program:    %.2f %% of one core (%.3f %% a modem)\n", 100 * p / hz / s, 100 * p / hz / s / m
  printf "  wineserver: %.2f %% of one core\n", 100 * w / hz / s
  printf "  together:   %.3f %% of one core a modem\n", 100 * (p + w) / hz / s / m
  printf "  program memory %d -> %d KiB, threads %d -> %d\n", r0, r1, t0, t1 }'
[ $simStatus -eq 0 ] || echo "idle_bench: the modems were not served (modem-sim exit $simStatus)"
exit $simStatus
