#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine.
# Idempotent: only missing packages are installed.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Wine runs the 32-bit product from the i386 architecture's packages.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

# imagemagick: its import takes the screenshots (scripts/demo.sh, scripts/screenshots.sh).
# pandoc: the user's guide as HTML for the release; p7zip-full: the release
# check lists and unpacks the installers. osslsigncode: Authenticode
# signing (openssl makes the tests' throwaway key); lldb reads the tests'
# minidump with the release's symbols.
for p in cmake ninja-build g++ clang-format \
         g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
         wine wine32:i386 wine64 xvfb xauth googletest \
         fonts-dejavu-core locales nsis imagemagick pandoc p7zip-full \
         osslsigncode openssl lldb; do
  have "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# uk_UA.UTF-8 makes Wine run with ANSI code page 1251, as on a Ukrainian PC.
if ! locale -a 2>/dev/null | grep -qi '^uk_UA\.utf-\?8$'; then
  sed -i 's/^# *uk_UA.UTF-8 UTF-8/uk_UA.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^uk_UA.UTF-8 UTF-8' /etc/locale.gen || echo 'uk_UA.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null
fi
