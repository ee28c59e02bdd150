#!/bin/sh
# Builds the libFuzzer targets (CMake preset fuzz: clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for the given number of seconds (default 300), starting from the seeds in
# fuzz/corpus/<target> and from what earlier runs found (kept in build/fuzz/corpus/<target>).
# Prints the executions per target; exits 1 when a target found an input that breaks a property or
# crashes (the input is kept in build/fuzz/artifacts, the output in build/fuzz/logs).
#
#   scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-300}
targets="manifest app_pid path_rules"
build=build/fuzz

./scripts/install-deps.sh
build_log=$(mktemp)
# shellcheck disable=SC2086
if ! { cmake --preset fuzz && cmake --build --preset fuzz --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done); } \
    >"$build_log" 2>&1; then
    cat "$build_log"
    rm -f "$build_log"
    exit 1
fi
rm -f "$build_log"

mkdir -p "$build/artifacts" "$build/logs"
status=0
printf '%-12s %12s %8s  %s\n' "fuzz target" executions seconds result
for target in $targets; do
    mkdir -p "$build/corpus/$target"
    log="$build/logs/$target.log"
    # New inputs go to the first folder; the seeds in the repository are only read.
    if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" "fuzz/corpus/$target" \
        >"$log" 2>&1; then
        result=passed
    else
        result="FAILED, see $log"
        status=1
    fi
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    printf '%-12s %12s %8s  %s\n' "$target" "${executions:-?}" "$seconds" "$result"
done
exit $status
