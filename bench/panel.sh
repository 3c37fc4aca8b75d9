#!/usr/bin/env bash
# The panel page: its three files' total size against the 64 KiB that the
# server sends of each in one read, and, through the nginx front on
# loopback, the time from pressing Sign in to the overview's data in
# headless chromium (median of 20) against one GET /api/system from the same
# page (the request that sign-in waits for), with the absolute target of
# 150 ms. nginx-front and panel-sandbox run in a private network namespace,
# as in the browser test.
set -eu
. "$(dirname "$0")/common.sh"
assets=("$top"/panel/assets/{index.html,app.js,style.css})

if [ "${PANEL_BENCH_INSIDE:-}" != 1 ]; then
  need_packages nginx chromium openssl iproute2 util-linux tini
  command -v node >/dev/null && command -v npm >/dev/null || need_packages nodejs npm
  build_targets dashwick
  echo "panel page"
  size=$(cat "${assets[@]}" | wc -c)
  limit "index.html + app.js + style.css" "$(awk -v b="$size" 'BEGIN { print b / 1024 }')" KiB 64
  if [ ! -d "$top/tests/browser/node_modules/playwright-core" ]; then
    (cd "$top/tests/browser" && npm ci --no-audit --no-fund >/dev/null) || { echo "  npm ci failed"; exit 1; }
  fi
  exec unshare --net env PANEL_BENCH_INSIDE=1 bash "$0"
fi

# Inside the private network namespace from here on.
ip link set lo up
scratch=$(mktemp -d)
chmod 711 "$scratch"
mkdir "$scratch/front"
password=$(tr -dc 'A-Za-z0-9' </dev/urandom | head -c 16)
"$top/scripts/nginx-front" "$scratch/front" 8443 &
front=$!
printf '%s\n' "$password" | "$top/scripts/panel-sandbox" "$build/panel/dashwick" 880 &
panel=$!
trap 'kill -TERM "$panel" 2>/dev/null; kill -KILL "$front" 2>/dev/null; wait "$panel" "$front" 2>/dev/null || true; rm -rf "$scratch"' EXIT
out=$(PANEL_PASSWORD=$password NODE_NO_WARNINGS=1 node "$top/bench/panel_signin.mjs" https://127.0.0.1:8443 20) || {
  echo "  the sign-in measurement failed: $out"; exit 1; }
read -r signin api <<<"$out"
figure "sign-in to overview / GET /api/system" "$signin" "api" "$api" ms "<=" 2
limit "sign-in to overview data (median of 20)" "$signin" ms 150
