#!/usr/bin/env bash
# The soak: the real program (its simulated build) under Wine for MINUTES
# (default 30) with 8 simulated modems relaying checked traffic through it
# while random link drops, acquirer faults and unplugs are played
# (tools/soak/soak_main.cpp). Prints the program's resource counts every
# minute and a summary; exits 0 only when nothing was lost, changed or
# repeated while linked and the program still serves a fresh modem.
#   scripts/soak.sh [MINUTES] [SEED]
# Loopback only; ends by itself.
set -uo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30} seed=${2:-} port=47310
[[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "soak: MINUTES is a positive number" >&2; exit 2; }
[[ -z "$seed" || "$seed" =~ ^[0-9]+$ ]] || { echo "soak: SEED is a number" >&2; exit 2; }
. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
echo "soak: building ($preset build of the program under Wine, native soak driver)"
cmake --preset $preset >/dev/null && cmake --build --preset $preset --target varnel-sim >/dev/null || exit 1
cmake --preset native >/dev/null && cmake --build --preset native --target varnel-soak >/dev/null || exit 1
build="$PWD/build/$preset"
. tools/xvfb.sh
unset DISPLAY
start_xvfb 181 189
# A prefix of its own: its wineserver is ended at the end of the run.
export WINEPREFIX="$build/soak-wineprefix"
trap 'wineserver -k >/dev/null 2>&1; stop_xvfb' EXIT

VARNEL_BUS_PORT=$port tools/wine-run.sh --prefix "$WINEPREFIX" --arch $preset "$build/app/varnel-sim.exe" \
  >/dev/null 2>&1 &
build/native/tools/varnel-soak --bus $port --minutes "$minutes" ${seed:+--seed "$seed"} ${SOAK_FAULTS:+--faults "$SOAK_FAULTS"}
