#!/bin/sh
# The reliability figures in two tables, Linux and Windows. Runs every part listed in $parts and
# prints what they found: the fault and crash sweeps over the real helper (every file-system call of
# a representative update failed in turn with each errno, once and from then on, and the helper
# killed before each call), with the later runs that check what a failure leaves behind, and rounds
# of 16 helpers started together; the fuzz targets, each for a fixed time; the hostile trees through
# the real helper; and the same sweeps of the Windows build under Wine (each Win32 call failed with
# the Windows errors it really gives, and the rollback sweep). Builds what it needs in
# build/reliability (or $QM_RELIABILITY_BUILD), build/reliability-windows and build/fuzz.
#
#   scripts/reliability.sh        everything, the full sweep
#   scripts/reliability.sh ci     the reduced sweep that CTest runs (one run per call point)
#
# QM_RELIABILITY_PARTS names the parts to run (default: all of them, "sweep fuzz hostile windows").
#
# A part is a shell function part_<name> that appends rows "label<TAB>value" to the file "$rows"
# and returns non-zero when it found a fault. The table lists the rows in order, then the time of
# each part. Another part (fuzzing executions per target, say) is one more function and one more
# name in $parts.
set -eu
cd "$(dirname "$0")/.."

scope=${1:-full}
case $scope in
full | ci) ;;
*)
    echo "usage: scripts/reliability.sh [ci]" >&2
    exit 2
    ;;
esac

parts=${QM_RELIABILITY_PARTS:-sweep fuzz hostile windows}
build=${QM_RELIABILITY_BUILD:-build/reliability}
windows_build=build/reliability-windows
rows=$(mktemp)
windows_rows=$(mktemp)
trap 'rm -f "$rows" "$windows_rows"' EXIT

# The sweeps and the concurrency rounds: tests/reliability, run as one program so that it can
# total its figures. Violations are listed in build/reliability/sweep.log.
# shellcheck disable=SC2317 # called as "part_$part"
part_sweep() {
    log=$build/sweep.log
    status_file=$(mktemp)
    {
        result=0
        QM_SWEEP=$scope QM_RELIABILITY_ROWS=$rows QM_TEST_TOOLS=$PWD/$build/tests "$build/tests/reliability_tests" || result=$?
        echo "$result" >"$status_file"
    } 2>&1 | tee "$log" | awk '/runs planned|runs done|^\[ +(OK|FAILED) +\]/ { print "    " $0; fflush() }'
    result=$(cat "$status_file")
    rm -f "$status_file"
    [ "$result" = 0 ] || echo "    violations: see $log"
    return "$result"
}

# Bad input: each libFuzzer target for a fixed time, 300 s (20 s for ci); scripts/fuzz.sh builds
# them in build/fuzz and keeps what breaks a property in build/fuzz/artifacts.
# shellcheck disable=SC2317 # called as "part_$part"
part_fuzz() {
    seconds=300
    [ "$scope" = full ] || seconds=20
    log=$build/fuzz.log
    result=0
    ./scripts/fuzz.sh "$seconds" >"$log" 2>&1 || result=$?
    sed 's/^/    /' "$log"
    awk -v s="$seconds" 'NR > 1 && $3 == s { printf "Fuzzing executions, %s (%s s)\t%s\n", $1, s, $2 }' "$log" >>"$rows"
    return "$result"
}

# Hostile trees and blocked moves through the real helper (tests/updater). The cases that need
# Windows run under Wine with the windows preset; here they count as skipped.
# shellcheck disable=SC2317 # called as "part_$part"
part_hostile() {
    log=$build/hostile.log
    result=0
    QM_TEST_TOOLS=$PWD/$build/tests "$build/tests/updater_tests" \
        --gtest_filter='hostile_tree_test.*:blocked_move_test.*:held_file_test.*' >"$log" 2>&1 || result=$?
    for outcome in OK FAILED SKIPPED; do
        count=$(grep -c "^\[ *$outcome *\] .* ([0-9]* ms)\$" "$log" || true)
        printf 'Hostile-tree and blocked-move cases, %s\t%s\n' "$(echo "$outcome" | tr 'A-Z' 'a-z')" "$count" >>"$rows"
    done
    [ "$result" = 0 ] || echo "    failures: see $log"
    return "$result"
}

# The Windows build's sweeps under Wine (tests/reliability with the fault-injection build of the
# helper), in a private Wine prefix; its rows go to the Windows table.
# shellcheck disable=SC2317 # called as "part_$part"
part_windows() {
    log=$windows_build/sweep.log
    if ! { cmake --preset windows -B "$windows_build" && cmake --build "$windows_build" -j2 --target reliability_tests; } >"$log" 2>&1; then
        cat "$log"
        return 1
    fi
    status_file=$(mktemp)
    {
        result=0
        # shellcheck disable=SC1091
        (. ./scripts/wine-env.sh && cd "$windows_build/tests" &&
            QM_SWEEP=$scope QM_RELIABILITY_ROWS=$windows_rows QM_TEST_TOOLS=$PWD wine reliability_tests.exe) || result=$?
        echo "$result" >"$status_file"
    } 2>&1 | tee -a "$log" | awk '/runs planned|runs done|^\[ +(OK|FAILED) +\]/ { print "    " $0; fflush() }'
    result=$(cat "$status_file")
    rm -f "$status_file"
    [ "$result" = 0 ] || echo "    violations: see $log"
    return "$result"
}

./scripts/install-deps.sh
case " $parts " in
*" sweep "* | *" hostile "*)
    echo "building (CMake preset posix in $build) ..."
    build_log=$(mktemp)
    if ! { cmake --preset posix -B "$build" && cmake --build "$build" --target reliability_tests updater_tests; } >"$build_log" 2>&1; then
        cat "$build_log"
        rm -f "$build_log"
        exit 1
    fi
    rm -f "$build_log"
    ;;
esac

mkdir -p "$build" "$windows_build"
status=0
times=""
for part in $parts; do
    echo "== $part"
    start=$(date +%s)
    "part_$part" || status=1
    times="$times$(printf 'Time, %s\t%s s' "$part" $(($(date +%s) - start)))
"
done

table() {
    echo "| Figure | Value |"
    echo "|---|---|"
    tr -d '\r' | awk -F '\t' 'NF { printf "| %s | %s |\n", $1, $2 }'
}

echo
echo "Linux:"
echo
printf '%s' "$times" | grep -v 'Time, windows' | cat "$rows" - | table
if [ -s "$windows_rows" ]; then
    echo
    echo "Windows (under Wine):"
    echo
    printf '%s' "$times" | grep 'Time, windows' | sed 's/Time, windows/Time, sweep/' | cat "$windows_rows" - | table
fi
exit $status
