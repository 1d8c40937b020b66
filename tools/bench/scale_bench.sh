#!/usr/bin/env bash
# Many modems through the real program (its simulated build) under Wine:
# one program, one acquirer peer, and one modem-sim run per case, each
# case MODEMS:RATE:WARMUP:SECONDS, RATE in bytes a second each way or
# "idle" (modems answer polls only, no link):
#   tools/bench/scale_bench.sh [CASE...]   (default: 1:1216000:5:15 8:1216000:5:15)
# For each case, one line: the worst and mean modem's share of the rate
# both ways; the processor time used a second of wall time in the measured
# part by the program (and by its bus server's threads, which serve the
# simulation), the wineserver, and the simulation (modem-sim, the acquirer
# peer); the simulation's bus calls a second; the program's handles,
# threads and memory at the part's start and end.
# VARNEL_SIM_EXE names another build of the simulated program to measure
# (the same program from an older commit, say), beside this one in one run.
# Not a test: figures depend on the machine. Loopback only; every run ends
# by itself.
set -uo pipefail
cd "$(dirname "$0")/../.."
port=47210
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(1:1216000:5:15 8:1216000:5:15)
for c in "${cases[@]}"; do
  [[ "$c" =~ ^([1-9]|[1-5][0-9]|6[0-4]):([1-9][0-9]*|idle):[1-9][0-9]*:[1-9][0-9]*$ ]] ||
    { echo "scale_bench: a case is MODEMS(1..64):RATE|idle:WARMUP:SECONDS, not \"$c\"" >&2; exit 2; }
done
. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
cmake --preset $preset >/dev/null && cmake --build --preset $preset --target varnel-sim >/dev/null || exit 1
# The simulation is built without sanitizers so that its own cost stays small.
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  cmake --build build/bench --target modem-sim acquirer-peer >/dev/null || exit 1
build="$PWD/build/$preset"
log=$(mktemp -d)
. tools/xvfb.sh
unset DISPLAY
start_xvfb 191 199
# A prefix of its own: its wineserver is ended at the end of the run.
export WINEPREFIX="$build/bench-wineprefix"
trap 'kill $acquirer 2>/dev/null; wineserver -k >/dev/null 2>&1; stop_xvfb; rm -rf "$log"' EXIT
acquirer=
build/bench/tools/acquirer-peer --port $((port + 1)) --seconds 3600 >/dev/null 2>&1 &
acquirer=$!
VARNEL_BUS_PORT=$port tools/wine-run.sh --prefix "$WINEPREFIX" --arch $preset "${VARNEL_SIM_EXE:-$build/app/varnel-sim.exe}" \
  >/dev/null 2>&1 &
for _ in $(seq 600); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
# Other runs may have their own program: this one is under this prefix.
program=$(for p in $(pgrep -x varnel-sim.exe); do
  tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo $p
done | head -1)
# This prefix's wineserver works in a folder named after the prefix's device and inode.
mkdir -p "$WINEPREFIX"
serverDir=$(printf "server-%s-%x" "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
server=$(for p in $(pgrep wineserver); do [[ "$(readlink /proc/$p/cwd)" == */$serverDir ]] && echo $p; done | head -1)
[ -n "$program" ] && [ -n "$server" ] || { echo "scale_bench: the program did not start" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# The bus server's threads (named so by the simulated build): the simulation's share of the program.
busTicks() { awk '$2 == "(varnel-bus)" { t += $14 + $15 } END { print t + 0 }' /proc/$1/task/*/stat 2>/dev/null; }
field() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)
status=0
for c in "${cases[@]}"; do
  IFS=: read -r modems rate warmup seconds <<<"$c"
  if [ "$rate" = idle ]; then load=(--idle); else load=(--rate "$rate"); fi
  out="$log/$c.out"
  build/bench/tools/modem-sim --bus $port --acquirer $((port + 1)) --modems "$modems" "${load[@]}" \
    --measure-after "$warmup" --seconds $((warmup + seconds)) >"$out" 2>&1 &
  sim=$!
  # The measured part starts and ends when modem-sim says so; bounded waits.
  limit=$((10 * (warmup + seconds + 120)))
  for ((i = 0; i < limit; ++i)); do grep -qs '^measure: start' "$out" && break; sleep 0.1; done
  p0=$(ticks "$program") b0=$(busTicks "$program") w0=$(ticks "$server") a0=$(ticks $acquirer) t0=$(date +%s.%N)
  rss0=$(field "$program" VmRSS) th0=$(field "$program" Threads)
  for ((i = 0; i < limit; ++i)); do grep -qs '^measure: modems' "$out" && break; sleep 0.1; done
  p1=$(ticks "$program") b1=$(busTicks "$program") w1=$(ticks "$server") a1=$(ticks $acquirer) t1=$(date +%s.%N)
  rss1=$(field "$program" VmRSS) th1=$(field "$program" Threads)
  wait $sim
  simStatus=$?
  line=$(grep '^measure: modems' "$out" | sed 's/^measure: //')
  if [ -z "$line" ]; then
    echo "scale: case $c measured nothing (modem-sim exit $simStatus)"
    tail -5 "$out"
    status=1
    continue
  fi
  awk -v hz="$hz" -v t0="$t0" -v t1="$t1" -v p=$((p1 - p0)) -v b=$((b1 - b0)) -v w=$((w1 - w0)) -v a=$((a1 - a0)) \
    -v line="$line" -v ok=$simStatus -v rss="$rss0->$rss1" -v th="$th0->$th1" 'BEGIN { t = t1 - t0
    printf "scale: %s program_cpu=%.2f bus_threads_cpu=%.2f wineserver_cpu=%.2f acquirer_cpu=%.2f rss_kib=%s os_threads=%s%s\n",
      line, 100 * p / hz / t, 100 * b / hz / t, 100 * w / hz / t, 100 * a / hz / t, rss, th, ok == 0 ? "" : " FAILED" }'
  [ $simStatus -eq 0 ] || status=1
done
exit $status
