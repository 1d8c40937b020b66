#!/usr/bin/env bash
# Checks what a build's release holds, as a shop would get it:
#   check-release.sh OBJDUMP RELEASE_DIR VERSION x64|x86 GUIDE_MD
# - varnel-VERSION-ARCH-setup.exe and varnel-VERSION-ARCH.zip are there;
# - the installer (an NSIS stub of that bitness) and the zip each hold
#   exactly varnel.exe, posibnyk.html and varnel-trace.cmd (and the
#   uninstaller), the same
#   files in both, and the exe is of that machine type;
# - the guide is one file: every picture of GUIDE_MD inline, none linked;
# - the exe has no debug information and names no folder of the build
#   machine; varnel-VERSION-ARCH-symbols.zip holds it, and beside the exe
#   an address of WinMain resolves to its line, a changed copy not at all.
# - no other installer sits beside them (the tests' own are built elsewhere).
set -euo pipefail
objdump=$1 dir=$(cd "$2" && pwd) version=$3 arch=$4 markdown=$5
name=varnel-$version-$arch
setup=$dir/$name-setup.exe zip=$dir/$name.zip
format=pei-i386
[ "$arch" = x64 ] && format=pei-x86-64
status=0
fail() { echo "check-release: $*"; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for file in "$setup" "$zip"; do
  [ -f "$file" ] || { echo "check-release: $(basename "$file") is missing"; exit 1; }
done
others=$(cd "$dir" && find . -maxdepth 1 -name '*setup*.exe' ! -name "$name-setup.exe" | sort | tr '\n' ' ')
[ -z "$others" ] || fail "other installers beside the release: $others"
machine() { "$objdump" -f "$1" | awk '/file format/ { print $NF }'; }
[ "$(machine "$setup")" = "$format" ] || fail "$(basename "$setup") is $(machine "$setup"), not $format"

listed=$(7z l -ba -slt "$setup" | awk -F' = ' '$1 == "Path" && $2 !~ /^\$PLUGINSDIR/ { print $2 }' | sort | tr '\n' ' ')
[ "$listed" = "posibnyk.html uninstall.exe varnel-trace.cmd varnel.exe " ] || fail "$(basename "$setup") holds: $listed"
7z x -y -o"$work/setup" "$setup" varnel.exe posibnyk.html varnel-trace.cmd >/dev/null
listed=$(cd "$work" && cmake -E tar xf "$zip" && find "$name" | sort | tr '\n' ' ')
[ "$listed" = "$name $name/posibnyk.html $name/varnel-trace.cmd $name/varnel.exe " ] || fail "$(basename "$zip") holds: $listed"

for file in varnel.exe posibnyk.html varnel-trace.cmd; do
  cmp -s "$work/setup/$file" "$work/$name/$file" || fail "$file differs between the installer and the zip"
done
[ "$(machine "$work/$name/varnel.exe")" = "$format" ] || fail "varnel.exe is $(machine "$work/$name/varnel.exe")"

guide=$work/$name/posibnyk.html
pictures=$(grep -c '!\[' "$markdown")
count() { { grep -o "$1" "$guide" || true; } | wc -l; }
inline=$(count '<img src="data:image/png;base64,')
linked=$(count '<img src="[^d]')
[ "$inline" -eq "$pictures" ] && [ "$linked" -eq 0 ] ||
  fail "posibnyk.html: $inline of $pictures pictures inline, $linked linked"

exe=$work/$name/varnel.exe
"$objdump" -h "$exe" | grep -q ' \.debug_' && fail "varnel.exe carries debug sections"
for folder in "$(cd "$(dirname "$markdown")/.." && pwd)" "$(dirname "$dir")"; do
  grep -qaF "$folder" "$exe" && fail "varnel.exe names $folder"
done
(cd "$work" && cmake -E tar xf "$dir/$name-symbols.zip")
debug=$work/$name/varnel.exe.debug
cp "$work/$name-symbols/varnel.exe.debug" "$debug"
winmain=$("${objdump%objdump}nm" "$debug" | awk '$2 == "T" && $3 ~ /^_?WinMain(@16)?$/ { print $1 }')
line() { "${objdump%objdump}addr2line" -e "$exe" "0x$winmain"; }
[[ "$(line)" == */app/win_main.cpp:[1-9]* ]] || fail "WinMain (0x$winmain) resolves to $(line)"
echo >>"$debug"
[[ "$(line)" == "??:"* ]] || fail "a changed varnel.exe.debug is taken: $(line)"

[ $status -ne 0 ] || echo "check-release: $name: installer and zip hold varnel.exe ($format) and the guide," \
  "its $pictures pictures inline; the exe stripped, its symbols beside"
exit $status
