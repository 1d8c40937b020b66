#!/usr/bin/env bash
# Checks what the installer test left of the signed release it installed
# under Wine (SIGNING: the folder of the test's authority, its signed
# installer and the copies under installed/):
#   check-installed.sh OBJDUMP SIGNING SYMBOLS_ZIP SYSTEM32
# - the installer, and the exe and the uninstaller it installed, are
#   signed, and each signature verifies against the test's authority;
# - the installed exe passes the import and hardening checks;
# - the minidump the test took of the running program, read by lldb with
#   that exe, the release's symbols and the DLLs of Wine's SYSTEM32, shows
#   the main thread in WinMain's message loop, at its file and line.
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
loop=$(grep -n 'while (GetMessageA' "$tools/../app/win_main.cpp" | cut -d: -f1)
# lldb writes its Python's start-up errors on Debian; its answers are what counts.
timeout 120 lldb --batch -o "settings set target.exec-search-paths $installed $system32" \
  -o "target create --core $installed/varnel.dmp" -o "target symbols add $(echo "$work"/*/varnel.exe.debug)" \
  -o "bt all" >"$work/lldb" 2>/dev/null </dev/null || true
# The loop's lines: GetMessageA, TranslateMessage, DispatchMessageA.
grep -Eq "varnel\.exe\`::WinMain\(.*\) at win_main\.cpp:($loop|$((loop + 1))|$((loop + 2))):" "$work/lldb" ||
  { cat "$work/lldb"; fail "the minidump's main thread is not in WinMain's message loop (win_main.cpp:$loop)"; }

[ $status -ne 0 ] || echo "check-installed: the signed installer, the installed exe and uninstaller verify;" \
  "the exe is hardened; its minidump shows WinMain's message loop"
exit $status
