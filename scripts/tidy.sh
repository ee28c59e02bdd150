#!/bin/sh
# clang-tidy with the checks of .clang-tidy over the project's own C++ files that the POSIX build
# compiles (the helper, the sample application, the tests), from that build's
# compile_commands.json. Any finding fails.
#
#   scripts/tidy.sh [BUILD_DIR]      default build/posix, configured and built first
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/posix}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "no $build/compile_commands.json: configure the build first (cmake --preset posix)" >&2
    exit 1
fi
start=$(date +%s)
log=$(mktemp)
# The file filter is a regular expression: the clone's path goes in with its special characters escaped.
root=$(printf '%s' "$PWD" | sed 's/[][\\.*^$+?(){}|]/\\&/g')
if ! run-clang-tidy -p "$build" -j "$(nproc)" -quiet "^$root/(updater|examples|tests)/" >"$log" 2>&1; then
    # Without colours and without the lines that say how many findings in other code were hidden.
    sed "s/$(printf '\033')\[[0-9;]*m//g" "$log" |
        grep -v '^clang-tidy-14 \|^[0-9]* warnings\? generated\.$\|^Suppressed \|^Use -header-filter\|^$' || true
    rm -f "$log"
    echo "clang-tidy: findings (see above)" >&2
    exit 1
fi
rm -f "$log"
echo "clang-tidy: no findings, $(($(date +%s) - start)) s"
