#!/usr/bin/env bash
# A whole seedcfg run from a directory (keys, network and user data, no
# password; output and keys file on tmpfs) against /bin/true started the same
# way, taking turns; and seedcfg's largest resident set.
set -eu
. "$(dirname "$0")/common.sh"
runs=${SEEDCFG_RUNS:-2000}
if [ "${SEEDCFG_BENCH_INSIDE:-}" != 1 ]; then
  need_packages util-linux
  build_targets seedcfg spawn_bench
  exec unshare --mount --fork env SEEDCFG_BENCH_INSIDE=1 bash "$0"
fi

# Inside a private mount namespace: seedcfg always makes "/root/.ssh", so
# /root is a tmpfs here, as is the scratch directory for its output.
mount --make-rprivate /
mount -t tmpfs -o mode=0700 root /root
scratch=$(mktemp -d)
mount -t tmpfs -o mode=0700 scratch "$scratch"
trap 'umount "$scratch" && rmdir "$scratch"' EXIT
docs=$scratch/source/openstack/latest
mkdir -p "$docs" "$scratch/out"
cp "$top"/examples/metadata/openstack/latest/{meta_data,network_data}.json "$docs/"
cat >"$docs/user_data" <<'DOC'
#cloud-config
hostname: node-1
ssh_authorized_keys:
  - ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIM3x9Qk2vB7nL4pT8wR1yZ5cF6hJ0aS2dG3kE9uI7oXq admin@laptop
DOC
args=(--config-only --source "$scratch/source" --output "$scratch/out"
      --keys-file "$scratch/authorized_keys" --test-mac fa:16:3e:2b:7c:01)
"$build/agent/seedcfg" "${args[@]}" >/dev/null  # the run must succeed before it is timed
echo "seedcfg run ($runs runs each, taking turns with /bin/true; median wall time)"
out=$("$build/bench/spawn_bench" "$runs" "$build/agent/seedcfg" "${args[@]}" -- /bin/true "${args[@]}")
field() { echo "$out" | awk -v line="$1" -v key="$2" 'NR == line {
  for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) print kv[2] } }'; }
[ "$(field 1 failures)" = 0 ] || echo "  seedcfg failed $(field 1 failures) runs" >&2
figure "seedcfg run / /bin/true" "$(field 1 median_us)" /bin/true "$(field 2 median_us)" us "<=" 1.5
echo "  processor time per run: seedcfg $(field 1 cpu_us) us, /bin/true $(field 2 cpu_us) us"
limit "seedcfg peak resident set" "$(awk -v k="$(field 1 max_rss_kib)" 'BEGIN { print k / 1024 }')" MiB 4
