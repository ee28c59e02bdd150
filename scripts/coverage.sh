#!/bin/sh
# Line and branch coverage of the manifest and install code (updater/manifest, updater/install) by
# their own tests, measured with gcov and summed up by gcovr: builds the CMake preset coverage,
# runs manifest_tests and install_tests (with the tools they start as real processes, which count
# too) and prints one line per file and the totals.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=build/coverage
log=$(mktemp)
if ! { cmake --preset coverage && cmake --build --preset coverage -j "$(nproc)" \
    --target manifest_tests install_tests manifest_tool install_tool move_tool; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
rm -f "$log"

# Counts of earlier runs would add up with this one's.
find "$build" -name '*.gcda' -delete
status=0
for tests in manifest_tests install_tests; do
    QM_TEST_TOOLS=$PWD/$build/tests "$build/tests/$tests" --gtest_brief=1 || status=1
done

# Branches that only exceptions or the compiler's own code take are left out: the code throws none.
gcovr --root . --filter 'updater/manifest/' --filter 'updater/install/' \
    --exclude-throw-branches --exclude-unreachable-branches --print-summary "$build"
exit $status
