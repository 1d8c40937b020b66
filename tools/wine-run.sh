#!/usr/bin/env bash
# Runs one Windows executable under Wine, the way every test of ours runs:
#   wine-run.sh --prefix DIR --arch win32|win64 program.exe [args...]
# The prefix lives under the build folder; output noise is silenced; the ANSI
# code page is 1251 (uk_UA.UTF-8), as on the shop PCs. When the caller has
# not provided them, a display (Xvfb) and a persistent wineserver are started
# here; scripts/test.sh starts both once for the whole run instead.
set -euo pipefail

prefix="" arch="win32"
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    --arch) arch="$2"; shift 2 ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] || { echo "wine-run: --prefix is required" >&2; exit 2; }
[ $# -ge 1 ] || { echo "wine-run: no program given" >&2; exit 2; }

export WINEPREFIX="$prefix" WINEARCH="$arch"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LC_ALL=uk_UA.UTF-8
unset LANG LANGUAGE

. "$(dirname "$0")/xvfb.sh"
. "$(dirname "$0")/wine-arch.sh"
# Debian's wine command always starts the 32-bit loader when it is
# installed; a 64-bit program on a kernel without 32-bit support needs the
# 64-bit loader by name.
loader=wine
if ! i386_runs; then
  [ "$arch" = win64 ] || { echo "wine-run: this kernel runs no 32-bit programs; use the win64 build" >&2; exit 2; }
  loader=/usr/lib/wine/wine64
  export WINELOADER=$loader
fi
output=$(mktemp)
trap 'stop_xvfb; rm -f "$output"' EXIT
start_xvfb 90 140

mkdir -p "$(dirname "$prefix")"
(
  # One process creates the prefix; parallel test runs wait for it.
  flock 9
  # Wine's services outlive wineboot: they must not inherit the lock.
  if [ ! -f "$prefix/system.reg" ]; then
    wineserver -p60 >/dev/null 2>&1 9>&- || true
    "$loader" wineboot --init >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"
# A server that stays up between test programs saves seconds per start;
# when one is already running this returns at once.
wineserver -p60 >/dev/null 2>&1 || true

# Wine's desktop and services, when this program starts them, outlive it and
# inherit its output: they write to a file, which is streamed from here, so
# that whoever reads this script's output is not kept waiting for them.
"$loader" "$@" >"$output" 2>&1 &
program=$!
tail -n +1 -s 0.1 -f --pid="$program" "$output"
wait "$program"
