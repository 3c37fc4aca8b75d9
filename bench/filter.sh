#!/usr/bin/env bash
# The terminal-sequence filter on a block of plain service output against
# memcpy of the same block: throughput ratio.
set -eu
. "$(dirname "$0")/common.sh"
build_targets filter_bench
echo "Terminal-sequence filter (4 KiB of plain text, fastest of 20 repetitions)"
times=$("$build/bench/filter_bench" --benchmark_repetitions=20 --benchmark_min_time=0.05 --benchmark_enable_random_interleaving=true \
          --benchmark_format=csv 2>/dev/null | fastest_runs)
filter=$(echo "$times" | awk '$1 == "BM_FilterPlain" { print 4096 / $2 }')
copy=$(echo "$times" | awk '$1 == "BM_MemcpyPlain" { print 4096 / $2 }')
figure "filter / memcpy throughput" "${filter:-0}" memcpy "${copy:-0}" GB/s ">=" 0.25
