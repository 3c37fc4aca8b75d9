#!/bin/sh
# Runs the browser test in a private network namespace with loopback up, so
# that the server's port (8088, or 880 behind nginx) and chromium meet there
# and nowhere else.
#   run.sh DASHWICK|- SCREENSHOT_DIR [BASE_URL]
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$here/node_modules/playwright-core" ] || [ ! -d "$here/node_modules/axe-core" ]; then
    echo "run 'npm ci' in $here first" >&2
    exit 1
fi
# DASHWICK "-": a panel already running on this machine's loopback, reached
# from here.
[ "$1" = - ] && exec node "$here/panel_browser_test.mjs" "$@"
exec unshare --net sh -c 'ip link set lo up && exec node "$0/panel_browser_test.mjs" "$@"' "$here" "$@"
