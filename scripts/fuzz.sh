#!/usr/bin/env bash
# Fuzzes everything that reads what a modem sends (tests/fuzz/), with clang's
# libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer:
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [--update-corpus]
# Each target starts from its corpus in the repo and runs for the set time
# (60 s unless given); a table of executions and findings follows. Findings
# are written to build/fuzz/findings/. --update-corpus merges what the run
# found new into the repo's corpus. The test command replays the corpus.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=60 update=0
for arg in "$@"; do
  case "$arg" in
    --update-corpus) update=1 ;;
    *) [[ "$arg" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: unknown argument \"$arg\" (SECONDS, --update-corpus)" >&2; exit 2; }
      seconds=$arg ;;
  esac
done
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  [ "$(id -u)" = 0 ] || { echo "fuzz: clang and libclang-rt-14-dev are needed; run as root to install them" >&2; exit 2; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev >/dev/null || exit 1
fi
[ "$(id -u)" = 0 ] && { scripts/setup.sh || exit 1; }
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz >/dev/null || { echo "fuzz: build failed" >&2; exit 1; }

findings="$PWD/build/fuzz/findings"
mkdir -p "$findings"
status=0
printf '%-16s %10s %12s %9s %s\n' target seconds executions corpus findings
for target in address_text control_message status_rows date_time; do
  work="$PWD/build/fuzz/corpus/$target"
  rm -rf "$work" && mkdir -p "$work" && cp tests/fuzz/corpus/$target/* "$work/"
  log="$PWD/build/fuzz/$target.log"
  "build/fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$work" >"$log" 2>&1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  found=$(ls "$findings" | grep -c "^$target-" || true)
  [ "$found" -eq 0 ] || status=1
  printf '%-16s %10s %12s %9s %s\n' "$target" "$seconds" "${runs:-?}" "$(ls "$work" | wc -l)" "$found"
  if [ $update -eq 1 ]; then
    "build/fuzz/tests/fuzz/${target}_fuzz" -merge=1 "tests/fuzz/corpus/$target" "$work" >/dev/null 2>&1
  fi
done
[ $status -eq 0 ] && echo "fuzz: no findings" || echo "fuzz: findings in $findings (logs in build/fuzz/)"
exit $status
