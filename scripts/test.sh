#!/bin/sh
# Builds every configuration and runs every test: the format check, POSIX with clang-tidy over its
# sources, POSIX under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for 20
# seconds each, and the Windows build under Wine. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
status=0

run_preset() {
    preset=$1
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" --timeout 300 || status=1
}

echo "== format"
./scripts/format.sh || status=1

run_preset posix
echo "== tidy"
./scripts/tidy.sh build/posix || status=1
run_preset posix-sanitize

echo "== fuzz"
./scripts/fuzz.sh 20 || status=1

. ./scripts/wine-env.sh
run_preset windows

exit $status
