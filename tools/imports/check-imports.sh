#!/usr/bin/env bash
# Compares what an exe imports with the reviewed list of functions known to
# exist on the oldest Windows the program supports:
#   check-imports.sh OBJDUMP EXE LIST
# Fails, naming them, when the exe imports a function the list lacks (a new
# import must be checked against Microsoft's documented minimum client and
# added), or when it declares a subsystem version newer than 6.1.
set -euo pipefail
objdump=$1 exe=$2 list=$3

dump=$("$objdump" -p "$exe")
imports=$(awk '
  /DLL Name:/ { dll = tolower($3); next }
  /^\s*$/ { dll = "" }
  dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll "!" $3 }
' <<<"$dump" | sort -u)
[ -n "$imports" ] || { echo "check-imports: no imports read from $exe"; exit 1; }
reviewed=$(awk '!/^#/ && NF >= 2 { print tolower($1) "!" $2 }' "$list" | sort -u)

unreviewed=$(comm -23 <(echo "$imports") <(echo "$reviewed"))
status=0
if [ -n "$unreviewed" ]; then
  echo "check-imports: $(basename "$exe") imports functions not in $(basename "$list"):"
  echo "$unreviewed" | sed 's/^/  /'
  status=1
fi
subsystem=$(awk '/MajorSubsystemVersion/ { major = $2 } /MinorSubsystemVersion/ { minor = $2 }
  END { print major "." minor }' <<<"$dump")
if [ "$subsystem" != 6.1 ]; then
  echo "check-imports: $(basename "$exe") declares subsystem version $subsystem, not 6.1 (Windows 7)"
  status=1
fi
[ $status -ne 0 ] || echo "check-imports: $(basename "$exe"): $(wc -l <<<"$imports") imports, all reviewed; subsystem $subsystem"
exit $status
