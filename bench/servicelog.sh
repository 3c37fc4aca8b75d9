#!/usr/bin/env bash
# The service log capture against s6-log and svlogd (scripts/bench_servicelog,
# 64 MiB, best of five rounds): throughput ratio to the faster of the two.
set -eu
. "$(dirname "$0")/common.sh"
out=$("$top/scripts/bench_servicelog" 64 5)
echo "$out"
rate() { echo "$out" | awk -v n="$1" '$1 == n && NF == 2 { print $2 }'; }
capture=$(rate capture)
faster=$(printf '%s\n%s\n' "$(rate s6-log)" "$(rate svlogd)" | sort -g | tail -1)
figure "capture / faster of s6-log, svlogd" "${capture:-0}" faster "${faster:-0}" MiB/s ">=" 1.0
