#!/usr/bin/env bash
# The performance suite: builds what it needs, runs every benchmark on this
# machine, prints one table and writes it, with the machine it ran on and
# every benchmark's own output, to docs/performance.md. Not part of the
# test run: figures depend on the machine. Each figure stands beside its
# reference measured in the same run (a plain loopback relay or socket pair
# under the same Wine, the USB full-speed limit, the rate offered).
#   scripts/bench.sh           the whole suite, about a quarter of an hour
#   scripts/bench.sh --quick   smaller volumes and shorter runs, a few minutes
# Loopback only; every run ends by itself.
set -uo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac
USB=1216000  # bytes a second each way: 19 packets of 64 bytes a 1 ms frame
if [ $quick -eq 1 ]; then
  mib=16 rounds=2000
  cases=(1:$USB:4:10 8:$USB:4:10 32:16000:6:10 64:16000:8:10 32:idle:6:20)
else
  mib=64 rounds=10000
  cases=(1:$USB:5:20 8:$USB:5:30 32:16000:10:30 64:16000:10:30 32:idle:10:60)
fi

. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
cmake --preset $preset >/dev/null &&
  cmake --build --preset $preset --target stream_bench latency_bench varnel-sim >/dev/null || exit 1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

machine() {
  echo "- processor: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
  echo "- kernel: $(uname -sr); Wine: $(/usr/lib/wine/wine64 --version 2>/dev/null || wine --version)"
  echo "- build: $preset (Windows builds run under Wine with the same loader as the tests)"
}
started=$(date -u '+%Y-%m-%d %H:%M UTC') load0=$(cut -d' ' -f1-3 /proc/loadavg)
echo "bench: $started, load $load0; $preset"
run() {  # NAME PROGRAM [ARGS...]: runs one Windows benchmark, its output kept
  local name=$1
  shift
  echo "bench: $name ..."
  tools/wine-run.sh --prefix "$PWD/build/$preset/wineprefix" --arch $preset "$@" >"$out/$name" 2>&1
}
run stream "build/$preset/tools/stream_bench.exe" $mib || echo "bench: stream_bench failed"
run latency "build/$preset/tools/latency_bench.exe" $rounds || echo "bench: latency_bench failed"
echo "bench: scale and idle ..."
tools/bench/scale_bench.sh "${cases[@]}" >"$out/scale" 2>&1 || echo "bench: a scale case failed"
load1=$(cut -d' ' -f1-3 /proc/loadavg)

# The table: one row a figure, its reference, the goal and whether it is met.
table() {
  echo "| figure | measured | reference in the same run | goal | met |"
  echo "|---|---|---|---|---|"
  awk -v usb=$USB '
    function row(f, m, r, g, ok) { printf "| %s | %s | %s | %s | %s |\n", f, m, r, g, ok ? "yes" : "**no**" }
    FILENAME ~ /stream$/ && /^(modem -> server|server -> modem|both at once) / {
      name = $1 " " $2 " " $3
      upU = $6 + 0; downU = $7 + 0; upR = $10 + 0; downR = $11 + 0
      if (name == "modem -> server")
        row("stream, modem to server", $4 " MiB/s = " $6 " USB", $8 " MiB/s plain relay (" $10 ")", ">= 10x USB, >= 50% of plain", upU >= 10 && upR >= 50)
      else if (name == "server -> modem")
        row("stream, server to modem", $5 " MiB/s = " $7 " USB", $9 " MiB/s plain relay (" $11 ")", ">= 10x USB, >= 50% of plain", downU >= 10 && downR >= 50)
      else
        row("stream, both at once", $4 " and " $5 " MiB/s = " $6 " and " $7 " USB", $8 " and " $9 " MiB/s plain (" $10 ", " $11 ")", ">= 10x USB and >= 50% of plain each way", upU >= 10 && downU >= 10 && upR >= 50 && downR >= 50)
    }
    FILENAME ~ /stream$/ && /pool buffers/ {
      sub(/^ +/, ""); held = held (held == "" ? "" : "; ") $0
    }
    FILENAME ~ /latency$/ && NF >= 8 && $1 != "latency_bench:" && $(NF-6) ~ /^[0-9]+$/ {
      name = $0; sub(/ +[0-9].*$/, "", name)
      row("round trip " name " (" $(NF-6) " rounds), median / p99 us", $(NF-5) " / " $(NF-4), "plain " $(NF-3) " / " $(NF-2) "; added " $(NF-1) " / " $NF, "added < 1000 / < 3000", $(NF-1) < 1000 && $NF < 3000 && $(NF-6) >= 10000)
    }
    FILENAME ~ /scale$/ && /^scale: modems/ {
      delete v
      for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
      cpu = v["program_cpu"] + v["wineserver_cpu"]
      split(v["rss_kib"], rss, "->"); split(v["handles"], h, "->"); split(v["os_threads"], t, "->")
      # A leak a tick would add hundreds; a handle or two comes and goes.
      flat = rss[2] <= rss[1] * 1.02 && h[2] <= h[1] + 2 && t[2] <= t[1]
      gw = v["program_cpu"] - v["bus_threads_cpu"]
      if (v["rate"] == 0) {
        row(v["modems"] " modems idle, polled every tick, " v["seconds"] " s: program + wineserver CPU", sprintf("%.2f %% of a core (%.3f %% a modem)", cpu, cpu / v["modems"]), sprintf("program %.2f %% (its threads but the bus server%s: %.3f %% a modem), wineserver %.2f %%; simulation %.2f %%, %s bus calls/s", v["program_cpu"], "'"'"'s", gw / v["modems"], v["wineserver_cpu"], v["sim_cpu"] + v["acquirer_cpu"], v["bus_calls_per_s"]), "< 0.25 % a modem", cpu / v["modems"] < 0.25)
        row(v["modems"] " modems idle: memory, handles, threads start -> end", v["rss_kib"] " KiB, " v["handles"] " handles, " v["os_threads"] " threads", "", "flat", flat)
      } else {
        cpuGoal = v["modems"] == 64 ? ", program + wineserver < 25 %" : ""
        row(v["modems"] " modems at " v["rate"] " B/s both ways: worst modem (mean)", sprintf("%.1f %% (%.1f %%)", 100 * v["worst"], 100 * v["mean"]), sprintf("program %.1f %% (%.1f %% outside the bus server) + wineserver %.1f %% of a core; simulation %.1f %%, %s bus calls/s", v["program_cpu"], gw, v["wineserver_cpu"], v["sim_cpu"] + v["acquirer_cpu"], v["bus_calls_per_s"]), ">= 99 %" cpuGoal, v["worst"] >= 0.99 && (v["modems"] != 64 || cpu < 25))
        row(v["modems"] " modems at " v["rate"] " B/s: memory, handles, threads start -> end", v["rss_kib"] " KiB, " v["handles"] " handles, " v["os_threads"] " threads", "", "flat", flat)
      }
    }
    END { if (held != "") printf "\nHeld by the bridge after each streaming mode: %s.\n", held }
  ' "$out/stream" "$out/latency" "$out/scale"
}

report=docs/performance.md
{
  echo "# Performance"
  echo
  echo "Written by \`scripts/bench.sh$([ $quick -eq 1 ] && echo ' --quick')\` on $started; what each"
  echo "benchmark does, and what the figures mean, is in \`docs/benchmarks.md\`."
  echo
  machine
  echo "- load average at the start: $load0; at the end: $load1"
  echo
  table
  echo
  echo "## What each benchmark printed"
  for name in stream latency scale; do
    echo
    echo '```'
    cat "$out/$name"
    echo '```'
  done
} >"$report.new"
mv "$report.new" "$report"
sed -n '/^| figure/,/^## What/p' "$report" | sed '$d'
echo "bench: written to $report"
