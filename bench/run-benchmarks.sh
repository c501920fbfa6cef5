#!/usr/bin/env bash
# Runs every benchmark of a build and prints all their figures as one table at the end.
#   bench/run-benchmarks.sh BUILD_DIR [--quick]
# BUILD_DIR must hold the built skyloom_benchmarks (a Release build: ./dev.sh bench makes one).
# --quick shortens every run, to check the programs rather than to measure. The plugin's log
# files and the results (results.tsv) go to BUILD_DIR/bench-work. A missed target is shown in
# the table; only a failing program makes the exit status non-zero.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: bench/run-benchmarks.sh BUILD_DIR [--quick]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
shift
quick=0
if [ "${1:-}" = --quick ]; then
    quick=1
fi

bin=$build/bench
work=$build/bench-work
results=$work/results.tsv
mkdir -p "$work"
cd "$work"
rm -f "$results"

gbench_args=(--benchmark_repetitions=5 --benchmark_min_time=0.2
    --benchmark_report_aggregates_only=true)
memory_args=()
e2e_args=()
if [ $quick = 1 ]; then
    gbench_args=(--benchmark_min_time=0.05)
    memory_args=(--messages=100000)
    e2e_args=(--quick)
fi

echo "== Cost of one message: the agent's handling next to the JSON parse alone"
"$bin/skyloom-bench-messages" --results="$results" "${gbench_args[@]}"
echo
echo "== Memory over many tracks"
"$bin/skyloom-bench-memory" --results="$results" "${memory_args[@]}"
echo
echo "== End to end, next to the raw ZeroMQ + JSON baseline; idle cost"
"$bin/skyloom-bench-e2e" --results="$results" "${e2e_args[@]}"

echo
echo "== All figures ($(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores:" \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1); Linux $(uname -r))"
status=0
"$bin/skyloom-bench-report" "$results" || status=$?
if [ $status = 3 ]; then
    echo "Some targets were missed (MISSED above); see docs/performance.md for what limits them."
elif [ $status != 0 ]; then
    exit $status
fi
