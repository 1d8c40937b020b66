#!/usr/bin/env bash
# Checks what the installer test left in SIGNING/installed of the signed
# release it installed under Wine: every signature verifies against the
# test's authority, the exe passes the import and hardening checks, and lldb
# reads the running program's minidump, with the release's symbols and
# Wine's DLLs, as the main thread in WinMain's message loop.
#   check-installed.sh OBJDUMP SIGNING SYMBOLS_ZIP SYSTEM32
set -euo pipefail
objdump=$1 signing=$2 symbols=$3 system32=$4
tools=$(cd "$(dirname "$0")/.." && pwd)
installed=$signing/installed
status=0
fail() { echo "check-installed: $*"; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for file in "$signing/varnel-signed-setup.exe" "$installed/varnel.exe" "$installed/uninstall.exe"; do
  osslsigncode verify -CAfile "$signing/ca.pem" -in "$file" >"$work/verify" 2>&1 ||
    { cat "$work/verify"; fail "$(basename "$file"): no signature that verifies"; }
done
"$tools/imports/check-imports.sh" "$objdump" "$installed/varnel.exe" "$tools/imports/windows7.txt" || status=1
"$tools/imports/check-hardening.sh" "$objdump" "$installed/varnel.exe" || status=1

(cd "$work" && cmake -E tar xf "$symbols")
# lldb's Python start-up errors on Debian (stderr) do not matter.
timeout 120 lldb --batch -o "settings set target.exec-search-paths $installed $system32" \
  -o "target create --core $installed/varnel.dmp" -o "target symbols add $(echo "$work"/*/varnel.exe.debug)" \
  -o "bt all" >"$work/lldb" 2>/dev/null </dev/null || true
# The loop's three lines: GetMessageA, TranslateMessage, DispatchMessageA.
loop=$(grep -n 'while (GetMessageA' "$tools/../app/win_main.cpp" | cut -d: -f1)
grep -Eq "varnel\.exe\`::WinMain\(.*\) at win_main\.cpp:($loop|$((loop + 1))|$((loop + 2))):" "$work/lldb" ||
  { cat "$work/lldb"; fail "the minidump's main thread is not in WinMain's message loop"; }
[ $status -ne 0 ] || echo "check-installed: signatures verify, the exe is hardened, its minidump reads"
exit $status
