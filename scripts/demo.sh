#!/usr/bin/env bash
# The main job: builds the console demo (tools/demo/) and runs it under Wine.
# One simulated fiscal modem is plugged in, identifies itself, reports its
# status (raising the blocking balloon), has the gateway open a TCP link to
# a stand-in acquirer on 127.0.0.1, relays a few payloads, closes the link,
# has both status tabs rendered and is unplugged. Exits non-zero when any
# step is missing; ends by itself within seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] && scripts/setup.sh
# The 32-bit build is the product; where the kernel runs no 32-bit
# programs, the 64-bit build shows the same.
. tools/wine-arch.sh
preset=win32
i386_runs || preset=win64
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target varnel_demo

build="$PWD/build/$preset"
log="$build/demo-wine.log"
echo "demo: running under Wine (the first run prepares a Wine prefix, about 20 s)"
# The program writes to a pipe, not to the terminal, whose Wine console
# would wrap the lines at 80 columns. Wine's own messages go to the log,
# shown only when the demo fails.
if timeout 300 tools/wine-run.sh --prefix "$build/wineprefix" --arch $preset "$build/tools/varnel_demo.exe" \
  </dev/null 2>"$log" | cat; then
  exit 0
fi
echo "demo: failed; Wine's messages follow" >&2
cat "$log" >&2
exit 1
