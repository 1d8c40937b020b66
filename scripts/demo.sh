#!/usr/bin/env bash
# The main job: builds the product and shows it working. The tray shell is
# not built yet; until it is, this builds the Windows program's libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] && scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
echo "demo: the tray application and its simulated modems come with the application shell."
