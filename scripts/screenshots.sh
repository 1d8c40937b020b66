#!/usr/bin/env bash
# Takes the screenshots in docs/images/ from the real program (the simulated
# build, with simulated modems) under Wine in a virtual desktop on Xvfb:
# the status window on both tabs at 100 % and 150 % DPI and in high
# contrast, the tray menu with two modems, and the icon in the
# notification area in each of its states. The sheet of the icons at every
# size comes from res/art/make_pictures.py.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] && scripts/setup.sh
if [ ! -x /usr/bin/import ]; then
  [ "$(id -u)" = 0 ] || { echo "screenshots: ImageMagick is needed (apt-get install imagemagick)" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends imagemagick >/dev/null
fi
. tools/wine-arch.sh
preset=win32 arch=win32
i386_runs || { preset=win64; arch=win64; }
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target varnel_screens >/dev/null

build="$PWD/build/$preset"
out="$PWD/docs/images"
mkdir -p "$out"
export WINEDEBUG=-all LC_ALL=uk_UA.UTF-8 WINEARCH=$arch
unset LANG LANGUAGE
loader=wine
i386_runs || { loader=/usr/lib/wine/wine64; export WINELOADER=$loader; }
. tools/xvfb.sh
unset DISPLAY
# The pointer starts at the screen's centre, which must lie inside the
# desktop: Wine moves it only from there, and the menu opens at the pointer.
start_xvfb 171 190 1280x800x24
trap 'wineserver -k >/dev/null 2>&1 || true; stop_xvfb' EXIT

# One prefix per DPI; the desktop is 800 by 500 (1200 by 750 at 150 %).
# "classic": a prefix without Wine's visual style, whose controls would not
# take the system's colours, as Windows' own do in high contrast. What is
# kept of the desktop, when not all: ImageMagick's options after that.
shoot() {  # dpi scene file [classic] [option...]
  local dpi=$1 scene=$2 file=$3 style="" width=$((800 * $1 / 96)) height=$((500 * $1 / 96))
  shift 3
  if [ "${1:-}" = classic ]; then
    style=classic
    shift
  fi
  export WINEPREFIX="$build/screens-$dpi${style:+-$style}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$loader" wineboot --init >/dev/null 2>&1 || true
    "$loader" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    "$loader" reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
      /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    [ -z "$style" ] || "$loader" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' \
      /v ThemeActive /t REG_SZ /d 0 /f >/dev/null 2>&1
    wineserver -w
  fi
  "$loader" explorer /desktop=varnel,${width}x${height} "$build/tools/varnel_screens.exe" "$scene" \
    >/dev/null 2>&1 &
  local program=$!
  sleep 6
  /usr/bin/import -display "$DISPLAY" -window root -crop "${width}x${height}+0+0" +repage "$out/$file"
  [ $# -eq 0 ] || /usr/bin/convert "$out/$file" "$@" +repage "$out/$file"
  kill "$program" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
  echo "screenshots: $file"
}

shoot 96 info status-info.png
shoot 96 ksef status-ksef.png
shoot 96 contrast status-high-contrast.png classic
# The menu alone: it opens at 300,120 on the desktop's plain background.
shoot 96 menu tray-menu.png -crop 300x220+290+110 +repage -trim
# The icon at the right end of the taskbar (the desktop's last 20 rows),
# twice its size.
for state in none attached linked; do
  shoot 96 $state tray-$state.png -crop 100x20+700+480 +repage -scale 200%
done
shoot 144 info status-info-150.png
shoot 144 ksef status-ksef-150.png
