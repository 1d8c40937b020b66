#!/usr/bin/env bash
# Checks an exe's protections against exploitation and DLL planting:
#   check-hardening.sh OBJDUMP EXE [--may-listen]
# - ASLR (dynamic base, with its relocations kept), DEP (NX compatible) and,
#   for a 64-bit exe, high-entropy ASLR;
# - every DLL it imports is one the loader never looks for in the program's
#   own folder: one of Windows 7's known DLLs, or common controls, which the
#   manifest binds to the side-by-side store. (WinUSB is loaded by full path
#   at run time for that reason.)
# - unless --may-listen (the simulated build, which serves its test bus),
#   it imports nothing that could listen on a port or accept a connection;
# - it registers for restart after a crash or a hang.
set -euo pipefail
objdump=$1 exe=$2 mayListen=${3:-}
name=$(basename "$exe")
dump=$("$objdump" -p "$exe")
status=0
fail() { echo "check-hardening: $name: $*"; status=1; }

flags=$(awk '/^DllCharacteristics/ { on = 1; next } on && /^\t\t\t\t\t[A-Z_]+$/ { print $1; next } { on = 0 }' <<<"$dump")
for flag in DYNAMIC_BASE NX_COMPAT; do
  grep -qx "$flag" <<<"$flags" || fail "not marked $flag"
done
if grep -q '^Magic.*020b' <<<"$dump"; then
  grep -qx HIGH_ENTROPY_VA <<<"$flags" || fail "64-bit but not marked HIGH_ENTROPY_VA"
fi
grep -q 'relocations stripped' <<<"$dump" && fail "relocations stripped: ASLR cannot move it"

known="advapi32 comdlg32 gdi32 imagehlp kernel32 lpk msctf msvcrt normaliz nsi ole32 oleaut32 psapi
rpcrt4 sechost setupapi shell32 shlwapi user32 usp10 wldap32 ws2_32 comctl32"
for dll in $(awk '/DLL Name:/ { print tolower($3) }' <<<"$dump"); do
  grep -qw "${dll%.dll}" <<<"$known" || fail "imports $dll, which the loader may take from the program's folder"
done
if [ "$mayListen" != --may-listen ]; then
  for call in bind listen accept WSAAccept AcceptEx; do
    awk '/DLL Name:/ { dll = tolower($3); next } dll == "ws2_32.dll" && NF == 3 { print $3 }' <<<"$dump" |
      grep -qx "$call" && fail "imports $call: the program must listen on no port"
  done
fi
# A crash or a hang must not leave the modems unserved until the next logon.
awk '/DLL Name:/ { dll = tolower($3); next } dll == "kernel32.dll" && NF == 3 { print $3 }' <<<"$dump" |
  grep -qx RegisterApplicationRestart || fail "does not register for restart by Windows Error Reporting"
[ $status -ne 0 ] || echo "check-hardening: $name: ASLR, DEP$(grep -qx HIGH_ENTROPY_VA <<<"$flags" && echo ', high-entropy ASLR'); imports only known DLLs"
exit $status
