# Shared by scripts/bench and the steps in bench/*.sh: the release build,
# packages, and the figure lines. Every figure is printed with its yardstick
# measured in the same run and the ratio of the two; a ratio on the wrong
# side of its target is counted in $BENCH_MISSES.

top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
build=${BENCH_BUILD:-$top/build/bench}
: "${BENCH_MISSES:=$build/misses}"
export BENCH_MISSES

# Installs the Debian packages that are missing, waiting for the dpkg lock.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  local try
  for try in 1 2 3 4 5 6; do
    if apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1; then
      return 0
    fi
    sleep 20  # another apt-get may hold the lock
  done
  echo "could not install: ${missing[*]}" >&2
  return 1
}

# Builds the named targets of the release tree.
build_targets() {
  cmake --build "$build" -j "$(nproc)" --target "$@" >"$build/build.log" 2>&1 || {
    grep -E 'error|Error' "$build/build.log" | head -20 >&2; return 1; }
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
