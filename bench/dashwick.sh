#!/usr/bin/env bash
# dashwick in private mount and network namespaces: its assets against nginx
# serving the same files (one connection, one request per connection), the
# time of GET /api/system against one SHA-512-crypt of the same password and
# hash, and its resident set after 10 000 requests.
# It sets up its namespaces itself rather than through scripts/panel-sandbox:
# the figures are of dashwick alone (no tini, no stand-in tools), in a
# network namespace of its own with nginx beside it as the yardstick.
set -eu
. "$(dirname "$0")/common.sh"
port=8088
nginx_port=8089
password='Tr0ub:4dor &3!'
salt=benchsalt0123456
seconds=${DASHWICK_SECONDS:-3}
requests=${DASHWICK_REQUESTS:-10000}

if [ "${DASHWICK_BENCH_INSIDE:-}" != 1 ]; then
  need_packages wrk nginx iproute2 util-linux openssl
  build_targets dashwick http_load
  [ -d "$top/panel/assets" ] || { echo "dashwick: panel/assets missing; not measured"; exit 0; }
  exec unshare --mount --net --fork env DASHWICK_BENCH_INSIDE=1 bash "$0"
fi

# Inside the namespaces from here on: nothing below reaches the machine's files.
mount --make-rprivate /
ip link set lo up
scratch=$(mktemp -d)
mount -t tmpfs -o mode=0700 bench "$scratch"
mkdir -p "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/usr/share,upperdir=$scratch/upper,workdir=$scratch/work" /usr/share
mkdir -p /usr/share/dashwick
cp "$top"/panel/assets/{index.html,app.js,style.css} /usr/share/dashwick/
mount -t tmpfs -o mode=0755 log /var/log
mount -t tmpfs -o mode=0755 lib /var/lib
hash=$(openssl passwd -6 -salt "$salt" "$password")
printf 'root:%s:19000:0:99999:7:::\n' "$hash" >"$scratch/shadow"
chmod 0600 "$scratch/shadow"
mount --bind "$scratch/shadow" /etc/shadow

# nginx serves the same files itself, in the nginx.conf of scripts/lib.sh.
cat >"$scratch/static.conf" <<CONF
keepalive_timeout 0;
types { text/html html; application/javascript js; text/css css; }
server {
  listen 127.0.0.1:$nginx_port;
  root /usr/share/dashwick;
  index index.html;
}
CONF
nginx_conf "$scratch" "$scratch/nginx.pid" off "$scratch/static.conf" \
  'daemon off;' "error_log $scratch/nginx-error.log;" >"$scratch/nginx.conf"

"$build/panel/dashwick" --port "$port" >"$scratch/dashwick.out" 2>&1 &
dashwick=$!
nginx -c "$scratch/nginx.conf" -e "$scratch/nginx-error.log" &
nginx=$!
trap 'kill "$dashwick" "$nginx" 2>/dev/null; wait "$dashwick" "$nginx" 2>/dev/null' EXIT
ready() { "$build/bench/http_load" "$1" 1 / 2>/dev/null | grep -q 'ok=1'; }
for _ in $(seq 100); do ready "$port" && ready "$nginx_port" && break; sleep 0.1; done
ready "$port" || { echo "dashwick did not answer"; cat "$scratch/dashwick.out"; exit 1; }
ready "$nginx_port" || { echo "nginx did not answer"; cat "$scratch/nginx-error.log"; exit 1; }

# wrk against port $1, target $2: "<requests per second> <requests>"; a
# rate of 0 when any reply was not 2xx.
rate() {
  local out
  out=$(wrk -c1 -t1 -d"${seconds}s" "http://127.0.0.1:$1$2" 2>&1)
  echo "$out" | grep -q 'Non-2xx' && { echo "0 1"; return; }
  echo "$out" | awk '/requests in/ { n = $1 } /^Requests\/sec:/ { r = $2 } END { print r + 0, n + 0 }'
}
oncpu() { awk '{ print $1 }' "/proc/$1/schedstat"; }  # ns the process spent on a processor
worker=$(cat "/proc/$nginx/task/$nginx/children" | awk '{ print $1 }')
echo "dashwick assets (wrk -c1 -t1, ${seconds} s, a new connection per request; best of five turns)"
for target in / /app.js /style.css; do
  best_d=0 best_n=0 cpu_d=0 cpu_n=0 count_d=0 count_n=0
  for turn in 1 2 3 4 5; do
    c0=$(oncpu "$dashwick"); read -r d nd < <(rate "$port" "$target"); c1=$(oncpu "$dashwick")
    w0=$(oncpu "$worker"); read -r n nn < <(rate "$nginx_port" "$target"); w1=$(oncpu "$worker")
    best_d=$(awk -v a="$best_d" -v b="$d" 'BEGIN { print (b > a) ? b : a }')
    best_n=$(awk -v a="$best_n" -v b="$n" 'BEGIN { print (b > a) ? b : a }')
    cpu_d=$((cpu_d + c1 - c0)) cpu_n=$((cpu_n + w1 - w0)) count_d=$((count_d + nd)) count_n=$((count_n + nn))
  done
  figure "GET $target: dashwick / nginx" "$best_d" nginx "$best_n" req/s ">=" 1.0
  awk -v a="$cpu_d" -v b="$count_d" -v c="$cpu_n" -v d="$count_n" 'BEGIN {
    printf "    server CPU per request: dashwick %.1f us, nginx worker %.1f us\n", a / b / 1000, c / d / 1000 }'
done

echo "dashwick API (200 requests, each followed by one crypt of the same password and hash)"
before=$(oncpu "$dashwick")
out=$("$build/bench/http_load" "$port" 200 -u "root:$password" -c "$hash" /api/system)
after=$(oncpu "$dashwick")
get() { echo "$out" | awk -v t="$1" -v k="$2" '$1 == t { for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) print kv[2] } }'; }
[ "$(get /api/system failed)" = 0 ] || echo "  /api/system: $(get /api/system failed) requests failed"
# Processor time per request against the processor time of one crypt: each
# request also waits for two wake-ups (server, then client), which a busy
# machine stretches; the wall-clock medians are shown beside it.
figure "GET /api/system / crypt, CPU" "$(awk -v a="$before" -v b="$after" 'BEGIN { print (b - a) / 200 / 1000 }')" \
  crypt "$(get crypt cpu_us)" us "<=" 1.1
echo "  wall-clock medians: GET /api/system $(get /api/system median_us) us, crypt $(get crypt median_us) us"

echo "dashwick resident set after $requests requests (GET / and GET /api/logs in turn, with credentials)"
out=$("$build/bench/http_load" "$port" "$requests" -u "root:$password" / /api/logs)
[ "$(get / failed)" = 0 ] && [ "$(get /api/logs failed)" = 0 ] || echo "  some requests failed: $out"
rss=$(awk '/^VmRSS:/ { print $2 / 1024 }' "/proc/$dashwick/status")
limit "dashwick resident set" "$rss" MiB 4
