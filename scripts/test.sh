#!/usr/bin/env bash
# Builds the three presets and runs every test: natively (the OS-free logic,
# with sanitizers) and under Wine (the Windows program against the simulated
# modem bus and real loopback TCP). Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" = 0 ]; then
  scripts/setup.sh || exit 1
fi

presets=(native win32 win64)
status=0
for p in "${presets[@]}"; do
  echo "=== build $p"
  cmake --preset "$p" >/dev/null || { status=1; continue; }
  cmake --build --preset "$p" -- -k 0 || status=1
done
[ $status -eq 0 ] || { echo "build failed"; exit 1; }

# One display and, per prefix, one persistent wineserver for the whole run.
. tools/xvfb.sh
start_xvfb 70 89

. tools/wine-arch.sh
passed=0 failed=0
for p in "${presets[@]}"; do
  only=()
  if [ "$p" = win32 ] && ! i386_runs; then
    echo "=== test win32: this machine's kernel does not execute 32-bit programs, so Wine cannot" \
      "start the 32-bit build: only its checks that need no Wine run here (imports, hardening, calling" \
      "convention, release contents); win64 runs the rest"
    only=(-L host)
  fi
  echo "=== test $p"
  prefix="$PWD/build/$p/wineprefix"
  if [ "$p" != native ] && [ ${#only[@]} -eq 0 ]; then
    arch=win32; [ "$p" = win64 ] && arch=win64
    export WINEPREFIX="$prefix" WINEARCH="$arch"
    mkdir -p "$prefix"
    # One server for the whole run, then the prefix, the desktop and Wine's
    # services started here with their output discarded: started by the
    # first test instead, they would hold CTest's output pipe open.
    wineserver -p >/dev/null 2>&1
    tools/wine-run.sh --prefix "$prefix" --arch "$arch" "build/$p/tests/logic_tests.exe" --gtest_list_tests \
      >/dev/null 2>&1
  fi
  log="build/$p/ctest.log"
  ctest --preset "$p" "${only[@]}" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [ -n "$line" ]; then
    passed=$((passed + total - bad)); failed=$((failed + bad))
  else
    failed=$((failed + 1))
  fi
  if [ "$p" != native ] && [ ${#only[@]} -eq 0 ]; then
    wineserver -k >/dev/null 2>&1 || true
    unset WINEPREFIX WINEARCH
  fi
done
stop_xvfb

echo "$passed passed, $failed failed"
exit $status
