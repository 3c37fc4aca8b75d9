#!/usr/bin/env bash
# The JSON reader against RapidJSON's SAX reader (null handler) and
# simdjson's DOM parser, on a generated 150 KiB meta_data.json and on the
# sample documents.
set -eu
. "$(dirname "$0")/common.sh"
need_packages rapidjson-dev libsimdjson-dev
build_targets json_bench  # configures anew: finds the new packages
echo "JSON reader (CPU time per parse, fastest of 20 repetitions)"
times=$("$build/bench/json_bench" --benchmark_repetitions=20 --benchmark_min_time=0.05 --benchmark_enable_random_interleaving=true \
          --benchmark_format=csv 2>/dev/null | fastest_runs)
for doc in metadata_150k meta_data network_data; do
  t() { echo "$times" | awk -v n="json/$doc/$1" '$1 == n { print $2 }'; }
  reader=$(t reader) rapid=$(t rapidjson) simd=$(t simdjson)
  figure "$doc: reader / RapidJSON SAX" "${reader:-0}" RapidJSON "${rapid:-0}" ns "<=" 0.5
  figure "$doc: reader / simdjson DOM" "${reader:-0}" simdjson "${simd:-0}" ns "<=" 3
done
