#!/usr/bin/env bash
# The main job: the real program (its simulated build) under Wine in a
# virtual desktop on Xvfb, three simulated modems plugged into it from
# outside (tools/modem-sim/), each exchanging checked data with the acquirer
# peer on 127.0.0.1 through it.
#   scripts/demo.sh [--seconds N | --forever] [--verbose] [--port P]
# Shows live progress per modem; halfway it opens the tray menu and the
# first modem's status window and takes their screenshots (build/demo-*.png);
# at the end it picks the tray menu's "Exit" and the modem simulator checks
# that the program closed everything. Prints a summary and exits non-zero
# when a byte was lost or changed or a step is missing. Ctrl-C ends it
# cleanly, with the summary so far.
set -uo pipefail
cd "$(dirname "$0")/.."
usage="use: scripts/demo.sh [--seconds N | --forever] [--verbose] [--port P]"
fail() {
  echo "demo: $*" >&2
  exit 2
}
seconds=20 forever=() verbose=() port=47110
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [[ "${2:-}" =~ ^[1-9][0-9]{0,4}$ ]] || fail "--seconds needs a number of seconds; $usage"
      seconds=$2; shift 2 ;;
    --forever) forever=(--forever); shift ;;
    --verbose) verbose=(--verbose); shift ;;
    --port) [[ "${2:-}" =~ ^[1-9][0-9]{0,4}$ ]] && [ "$2" -ge 1024 ] && [ "$2" -lt 65535 ] ||
      fail "--port needs a port number from 1024 to 65534; $usage"
      port=$2; shift 2 ;;
    *) fail "unknown argument \"$1\"; $usage" ;;
  esac
done

if [ "$(id -u)" = 0 ]; then
  pgrep -x apt-get >/dev/null && fail "another apt-get is running; run the demo again when it has finished"
  scripts/setup.sh || fail "installing what is missing failed (scripts/setup.sh)"
fi
for tool in cmake:cmake ninja:ninja-build x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix \
  wine:wine Xvfb:xvfb /usr/bin/import:imagemagick; do
  command -v "${tool%%:*}" >/dev/null ||
    fail "${tool%%:*} is missing; run scripts/demo.sh as root to install it (or apt-get install ${tool#*:})"
done
bus=$port acquirer=$((port + 1))
for p in $bus $acquirer; do
  (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && fail "port $p on 127.0.0.1 is in use; choose others with --port"
done

# The 64-bit build: the one 64-bit Windows runs. Debian's wine command
# starts the 32-bit loader first, which a 64-bit-only kernel cannot run.
. tools/wine-arch.sh
preset=win64 arch=win64 loader=wine
i386_runs || loader=/usr/lib/wine/wine64
mkdir -p build
echo "demo: building ($preset build of the program under Wine, native modem simulator)"
{ cmake --preset $preset && cmake --build --preset $preset --target varnel-sim varnel-poke &&
  cmake --preset native && cmake --build --preset native --target modem-sim acquirer-peer; } \
  >build/demo-build.log 2>&1 || { echo "demo: the build failed; see build/demo-build.log" >&2; exit 1; }
build="$PWD/build/$preset"
tools="$PWD/build/native/tools"
export WINEPREFIX="$build/demo-prefix" WINEARCH=$arch WINEDEBUG=-all LC_ALL=uk_UA.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
[ $loader = wine ] || export WINELOADER=$loader
unset LANG LANGUAGE

. tools/xvfb.sh
unset DISPLAY
start_xvfb 150 169
[ -n "$xvfb_pid" ] && [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] ||
  fail "no X display could be started (Xvfb on :150 to :169); free one or check Xvfb"

pids=() interrupted=0 sim=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  stop_xvfb
}
trap cleanup EXIT
trap 'interrupted=1; [ -z "$sim" ] || kill -INT "$sim" 2>/dev/null' INT TERM

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "demo: preparing a Wine prefix for the demo (first run only, about 30 s)"
  "$loader" wineboot --init >/dev/null 2>&1
  wineserver -w
fi
[ $interrupted = 0 ] || { echo "demo: interrupted"; exit 130; }

"$tools/acquirer-peer" --port $acquirer >build/demo-acquirer.log 2>&1 &
pids+=($!)
echo "demo: starting varnel-sim.exe under Wine in a virtual desktop, serving its modem bus on 127.0.0.1:$bus"
VARNEL_BUS_PORT=$bus "$loader" explorer /desktop=varnel,800x500 "$build/app/varnel-sim.exe" \
  >build/demo-wine.log 2>&1 &
pids+=($!)
# The simulator's own limit is a safety net: the run ends when the program
# does, after "Exit" below.
limit=$((seconds + 120))
"$tools/modem-sim" --bus $bus --acquirer $acquirer --modems 3 --seconds $limit --await-exit \
  "${forever[@]}" "${verbose[@]}" </dev/null > >(tee -i build/demo-modems.log) &
sim=$!
pids+=($sim)

# Waits up to $1 seconds (or until interrupted, or the simulator ends) for $2
# lines in the simulator's output that match $3.
await_output() {
  local n
  for n in $(seq $(($1 * 10))); do
    [ $interrupted = 0 ] && kill -0 "$sim" 2>/dev/null || return 1
    [ "$(grep -c -- "$3" build/demo-modems.log 2>/dev/null)" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}
# To a file: Wine's services outlive the helper and would hold a pipe open.
poke() { "$loader" "$build/tools/varnel-poke.exe" --desktop varnel "$@" >build/demo-poke.log 2>&1 || { cat build/demo-poke.log; false; }; }
shoot() { /usr/bin/import -display "$DISPLAY" -window root -crop 800x500+0+0 +repage "build/$1"; }
steps=()
rm -f build/demo-tray-menu.png build/demo-status.png
if await_output 90 3 "plugged in"; then
  start=$SECONDS
  half=$((seconds / 2 > 3 ? seconds / 2 : 3))
  [ ${#forever[@]} -eq 0 ] || half=10
  while [ $interrupted = 0 ] && [ $((SECONDS - start)) -lt $half ] && kill -0 $sim 2>/dev/null; do sleep 0.2; done
  if [ $interrupted = 0 ] && kill -0 $sim 2>/dev/null; then
    { poke menu && sleep 1 && shoot demo-tray-menu.png && poke item 1 && sleep 2 && shoot demo-status.png; } ||
      steps+=("the screenshots")
  fi
  if [ ${#forever[@]} -eq 0 ]; then
    while [ $interrupted = 0 ] && [ $((SECONDS - start)) -lt $seconds ] && kill -0 $sim 2>/dev/null; do
      sleep 0.2
    done
    if [ $interrupted = 0 ] && ! poke exit; then
      steps+=("the tray menu's Exit")
      kill -TERM $sim 2>/dev/null
    fi
  fi
else
  [ $interrupted = 1 ] || steps+=("three modems plugged in")
fi
# The simulator ends when the program has ended, on Ctrl-C, or at its limit.
while kill -0 $sim 2>/dev/null; do wait $sim; done
wait $sim
status=$?
kill -TERM "${pids[0]}" 2>/dev/null
wait "${pids[0]}" || status=1
tail -n 1 build/demo-acquirer.log
[ $interrupted = 0 ] || { echo "demo: interrupted"; exit 130; }
for f in demo-tray-menu.png demo-status.png; do
  [ -s "build/$f" ] && echo "demo: screenshot build/$f"
done
if [ ${#steps[@]} -gt 0 ]; then
  echo "demo: FAILED: a step did not happen: ${steps[*]} (Wine's messages: build/demo-wine.log)"
  exit 1
fi
if [ $status -ne 0 ]; then
  echo "demo: FAILED (see the summary above; Wine's messages: build/demo-wine.log)"
  exit 1
fi
echo "demo: passed: every byte came back intact and the program ended cleanly"
