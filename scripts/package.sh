#!/bin/sh
# Builds the release archives from scratch and lists what is in them: a tar.gz of the Linux build
# and a zip of the Windows build (CMake workflow presets package-posix and package-windows), each
# with the helper, the README and the sample application's source. They land in
# build/package-posix/packages and build/package-windows/packages.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

for preset in package-posix package-windows; do
    echo "== $preset"
    rm -rf "build/$preset"
    log="build/$preset.log"
    mkdir -p build
    if ! cmake --workflow --preset "$preset" >"$log" 2>&1; then
        cat "$log"
        exit 1
    fi
done

for archive in build/package-posix/packages/*.tar.gz build/package-windows/packages/*.zip; do
    echo
    echo "$archive"
    cmake -E tar tvf "$archive" | sed 's/^/    /'
done
