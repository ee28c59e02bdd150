#!/bin/sh
# Installs what is missing on a fresh Debian machine (run as root). Safe to run again: it installs
# only what is missing.
#
#   scripts/install-deps.sh        everything the builds, tests and packages need
#   scripts/install-deps.sh demo   only what scripts/demo.sh needs: the POSIX build of the helper
#                                  and the sample application, and strace, which follows them
set -eu

# The demonstration: CMake, Ninja and the compiler for the demo preset (no tests), and strace.
demo_packages="cmake ninja-build g++ strace"
# The rest: GoogleTest; the Windows cross build and Wine; what the tests use to make failures
# happen (chattr from e2fsprogs, setpriv and mount from util-linux); the sanitizers and the fuzzers;
# the format and static checks and coverage; Authenticode signing and its throwaway certificate.
other_packages="libgtest-dev googletest
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
attr util-linux e2fsprogs
clang libclang-rt-14-dev
clang-format clang-tidy gcovr
osslsigncode openssl"

case ${1:-all} in
demo) packages=$demo_packages ;;
all) packages="$demo_packages $other_packages" ;;
*)
  echo "usage: scripts/install-deps.sh [demo]" >&2
  exit 2
  ;;
esac

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
