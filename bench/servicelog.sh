#!/usr/bin/env bash
# The service log capture against s6-log and svlogd (scripts/bench_servicelog).
set -eu
. "$(dirname "$0")/common.sh"
"$top/scripts/bench_servicelog"
