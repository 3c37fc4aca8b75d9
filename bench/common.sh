# Shared by scripts/bench and the steps in bench/*.sh: the release build,
# packages, and the figure lines. Every figure is printed with its yardstick
# measured in the same run and the ratio of the two; a ratio on the wrong
# side of its target is counted in $BENCH_MISSES.

top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
build=${BENCH_BUILD:-$top/build/bench}
: "${BENCH_MISSES:=$build/misses}"
export BENCH_MISSES

# need_packages, build_tree
. "$top/scripts/lib.sh"

# Configures the release tree (anew, so that it finds packages installed
# since) and builds the named targets.
build_targets() {
  build_tree "$top" "$build" -DCMAKE_BUILD_TYPE=Release -- "$@"
}

# figure NAME VALUE YARDSTICK-NAME YARDSTICK-VALUE UNIT OP LIMIT
# prints VALUE / YARDSTICK-VALUE and checks it: OP is "<=" or ">=".
figure() {
  local name=$1 value=$2 yname=$3 yvalue=$4 unit=$5 op=$6 limit=$7
  awk -v n="$name" -v v="$value" -v yn="$yname" -v y="$yvalue" -v u="$unit" \
      -v op="$op" -v l="$limit" -v misses="$BENCH_MISSES" 'BEGIN {
    r = (y > 0) ? v / y : 0
    ok = (y > 0) && ((op == "<=") ? r <= l : r >= l)
    printf "  %-34s %10.3g %-5s %-10s %10.3g %-5s ratio %6.3f (target %s %s) %s\n",
           n, v, u, yn, y, u, r, op, l, ok ? "ok" : "MISSED"
    if (!ok) print n >> misses
  }'
}

# limit NAME VALUE UNIT LIMIT: an absolute bound (VALUE <= LIMIT).
limit() {
  local name=$1 value=$2 unit=$3 bound=$4
  awk -v n="$name" -v v="$value" -v u="$unit" -v l="$bound" -v misses="$BENCH_MISSES" 'BEGIN {
    ok = v <= l
    printf "  %-34s %10.4g %-5s (target <= %s %s) %s\n", n, v, u, l, u, ok ? "ok" : "MISSED"
    if (!ok) print n >> misses
  }'
}

# Reads Google Benchmark CSV on standard input; prints "name time" lines
# with the smallest CPU time in ns of each benchmark over its repetitions
# (the machine may be shared: the fastest run is the one least disturbed).
fastest_runs() {
  awk -F, '/^"/ && $1 !~ /_(mean|median|stddev|cv)"$/ {
    n = $1; gsub(/"/, "", n)
    t = $4 + 0
    if ($5 == "us") t *= 1000; else if ($5 == "ms") t *= 1000000; else if ($5 == "s") t *= 1e9
    if (!(n in best) || t < best[n]) best[n] = t
  } END { for (n in best) print n, best[n] }'
}
