#!/usr/bin/env bash
# The agent's document handling in detail (no yardstick).
set -eu
. "$(dirname "$0")/common.sh"
build_targets agent_bench
echo "Agent document handling"
"$build/bench/agent_bench" --benchmark_min_time=0.1 2>/dev/null | grep -E '^BM_' | sed 's/^/  /'
