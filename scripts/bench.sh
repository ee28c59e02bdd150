#!/bin/sh
# Measures the helper against its floor (see README, Performance): builds a Release configuration
# in build/bench, then runs the benchmark. Options go to the runner, for example
#     scripts/bench.sh --sizes 1000,10000 --runs 5 --no-strace
# The generated trees stay in build/bench/work/pristine for the next run (about 1 GB at 100,000
# files); the staging folders on /dev/shm are removed at the end.
set -eu
cd "$(dirname "$0")/.."

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BENCH=ON -DQM_TESTS=OFF >/dev/null
cmake --build "$build" --target quillmoor-updater bench_runner bench_floor bench_launch >/dev/null

exec "$build/bench/bench_runner" --helper "$PWD/$build/quillmoor-updater" --floor "$PWD/$build/bench/bench_floor" \
    --launch "$PWD/$build/bench/bench_launch" \
    --work "$PWD/$build/work" --shm "/dev/shm/quillmoor-bench-$$" "$@"
