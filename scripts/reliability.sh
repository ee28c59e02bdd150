#!/bin/sh
# The reliability figures in one table. Runs every part listed in $parts and prints what they found:
# the fault and crash sweeps over the real helper (every file-system call of a representative update
# failed in turn with each errno, once and from then on, and the helper killed before each call),
# with the later runs that check what a failure leaves behind, and rounds of 16 helpers started
# together. Builds what it needs in build/reliability (or $QM_RELIABILITY_BUILD).
#
#   scripts/reliability.sh        everything, the full sweep
#   scripts/reliability.sh ci     the reduced sweep that CTest runs (one run per call point)
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

parts="sweep"
build=${QM_RELIABILITY_BUILD:-build/reliability}
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT

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

./scripts/install-deps.sh
echo "building (CMake preset posix in $build) ..."
build_log=$(mktemp)
if ! { cmake --preset posix -B "$build" && cmake --build "$build" --target reliability_tests; } >"$build_log" 2>&1; then
    cat "$build_log"
    rm -f "$build_log"
    exit 1
fi
rm -f "$build_log"

status=0
times=""
for part in $parts; do
    echo "== $part"
    start=$(date +%s)
    "part_$part" || status=1
    times="$times$(printf 'Time, %s\t%s s' "$part" $(($(date +%s) - start)))
"
done

echo
echo "| Figure | Value |"
echo "|---|---|"
printf '%s' "$times" | cat "$rows" - | awk -F '\t' 'NF { printf "| %s | %s |\n", $1, $2 }'
exit $status
