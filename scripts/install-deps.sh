#!/bin/sh
# Installs what the builds and tests need on a fresh Debian machine (run as root).
# Safe to run again: it installs only what is missing.
set -eu

packages="cmake ninja-build g++ libgtest-dev googletest
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
strace attr util-linux e2fsprogs
clang libclang-rt-14-dev
clang-format clang-tidy gcovr"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
