#!/usr/bin/env bash
# Checks, in the 32-bit build's objects of the program and its libraries,
# the calling convention of what the system calls through a pointer, which
# only a 32-bit run would otherwise show (as a stack unbalanced on return):
#   check-stdcall.sh OBJDUMP BUILD_DIR OWN_POINTERS
# - every function whose address the code or its data takes (a window or
#   dialog procedure, a thread routine, a timer or hook routine: whatever is
#   handed to the system) is stdcall, as its decorated name (NAME@N) shows;
#   a cast can hand over a function of another convention without a
#   compiler error. Exempt: the functions listed in OWN_POINTERS, which
#   only the program calls through its own pointer types; what the C
#   runtime calls (atexit's ___tcf_N, the exception personality); and the
#   tables the compiler fills itself (vtables, constructors, unwind and
#   debug data).
# - GetProcAddress is called in ProcAddressOf alone (base/proc_address.cpp):
#   ProcAddress<Function> refuses at compile time a Function that is not
#   WINAPI, so every pointer taken from it has the system's convention.
set -euo pipefail
objdump=$1 build=$2 list=$3
cxxfilt=${objdump%objdump}c++filt
own=$(grep -v '^#' "$list")
cd "$build"
objects=$(find . -path '*/CMakeFiles/*' -name '*.obj' -not -path './tests/*' -not -path './tools/*' \
  -not -path './googletest/*' | sort)
[ -n "$objects" ] || { echo "check-stdcall: no objects under $build"; exit 1; }

status=0 taken=0
hex='function hex(s,  n, i) { sub(/^0x/, "", s); for (i = 1; i <= length(s); i++)
  n = n * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1; return n + 0 }'
for obj in $objects; do
  # One record a line: sections (name, file offset), function symbols
  # (section, value, name) and relocations (section, offset, target).
  report=$(
    "$objdump" -h "$obj" | awk "$hex"' $1 ~ /^[0-9]+$/ && NF >= 6 { print "section", $1 + 1, $2, hex($6) }'
    "$objdump" -t "$obj" | awk "$hex"' /\(sec +-?[0-9]+\)/ { s = $0; sub(/.*\(sec +/, "", s); sub(/\).*/, "", s)
      print (/\(ty +20\)/ ? "function" : "symbol"), s, hex($(NF - 1)), $NF }'
    "$objdump" -r "$obj" | awk "$hex"' /^RELOCATION RECORDS FOR/ { sub(/.*\[/, ""); sub(/\].*/, ""); in_ = $0; next }
      $2 == "dir32" { print "reloc", in_, hex($1), $3 }'
  )
  result=$(awk -v obj="$obj" '
    # Whether `offset` of section `section` lies in a vtable: its nearest
    # symbol at or before it is one.
    function InVtable(section, offset,  i, best, name) {
      best = -1
      for (i = 1; i <= count[section]; i++)
        if (value[section, i] <= offset && value[section, i] > best) { best = value[section, i]; name = label[section, i] }
      return name ~ /^__ZTV/
    }
    $1 == "section" { number[$3] = $2; offset[$3] = $4; next }
    $1 == "function" { isFunction[$4] = 1; if ($2 > 0) at[$2 ":" $3] = $4 }
    $1 == "function" || $1 == "symbol" { if ($2 > 0) { n = ++count[$2]; value[$2, n] = $3; label[$2, n] = $4 }; next }
    $1 == "reloc" {
      from = $2; target = $4
      if (from !~ /^\.(text|data|rdata)/ || from ~ /^\.rdata\$_ZTV/ || InVtable(number[from], $3)) next
      if (target == "__imp__GetProcAddress@8" && obj !~ /\/proc_address\.cpp\.obj$/) {
        print "calls GetProcAddress itself: take the function with ProcAddress<Function> (base/proc_address.h)"
        next
      }
      name = ""
      if (target in number) {
        # A relocation against a section: the function is the one at the
        # offset that the relocated field holds.
        cmd = "od -An -tu4 -j " (offset[from] + $3) " -N4 " obj
        cmd | getline addend; close(cmd)
        key = number[target] ":" (addend + 0)
        if (key in at) name = at[key]
      } else if (target in isFunction) name = target
      if (name == "" || name ~ /^___tcf_[0-9]+$/ || name == "___gxx_personality_v0") next
      print (name ~ /@[0-9]+$/ ? "ok" : "cdecl " name)
    }' <<<"$report")
  taken=$((taken + $(grep -cx ok <<<"$result" || true)))
  while read -r function; do
    grep -qxF "$function" <<<"$own" && continue
    echo "check-stdcall: ${obj#./}: hands out $function, which is not stdcall"
    status=1
  done < <(sed -n 's/^cdecl //p' <<<"$result" | sort -u | "$cxxfilt")
  if grep -q '^calls GetProcAddress' <<<"$result"; then
    echo "check-stdcall: ${obj#./}: $(grep -m1 '^calls GetProcAddress' <<<"$result")"
    status=1
  fi
done
[ $status -ne 0 ] ||
  echo "check-stdcall: $(wc -w <<<"$objects") objects: $taken functions handed out by address, all stdcall;" \
    "GetProcAddress only through ProcAddress"
exit $status
