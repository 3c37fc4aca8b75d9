#!/usr/bin/env bash
# The guest of deploy/guest/lib.sh in QEMU (emulated): seconds from the kernel's
# start to a written configuration and to the panel listening, against the
# same guest booting to a shell without seedcfg or services; and seedcfg's
# own time (from the NIC's step to seedcfg's) with the virtio RNG against
# the same boot without it. From the boot record, the median of several
# boots each.
set -eu
. "$(dirname "$0")/common.sh"
boots=${GUEST_BOOTS:-3}
. "$top/deploy/guest/lib.sh"
guest_packages
build_targets "${guest_targets[@]}"
guest_setup "$build"
scratch=$(mktemp -d /tmp/guest-bench.XXXXXX)
trap 'guest_stop; rm -rf "$scratch"' EXIT
guest_port=$(guest_free_port)
guest_drive iso "$top/deploy/guest/metadata" "$scratch/drive.iso"

# boot MODE STEP...: one boot on a fresh disk; prints the seconds of each STEP
# (guest_rng chooses the RNG).
boot() {
  local mode=$1 step; shift
  guest_disk "$scratch/disk.img"
  guest_start "$scratch/serial" "$scratch/disk.img" "$scratch/drive.iso" "vorna.mode=$mode"
  guest_wait "$scratch/serial" "${@: -1}" 120 || { echo "guest: no $* in the boot record" >&2; return 1; }
  guest_stop
  for step in "$@"; do
    tr -d '\r' <"$scratch/serial" | awk -v s="$step" '$1 == "vorna-boot" && $3 == s { printf "%s ", $2 }'
  done
  echo
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
: >"$scratch/shell"
: >"$scratch/full"
: >"$scratch/no-rng"
for _ in $(seq "$boots"); do
  boot shell shell >>"$scratch/shell"
  boot full network seedcfg configured panel >>"$scratch/full"
  guest_rng=0 boot full network seedcfg >>"$scratch/no-rng"
done
shell=$(awk '{ print $1 }' "$scratch/shell" | median)
configured=$(awk '{ print $3 }' "$scratch/full" | median)
panel=$(awk '{ print $4 }' "$scratch/full" | median)
seedcfg=$(awk '{ print $2 - $1 }' "$scratch/full" | median)
seedcfg_no_rng=$(awk '{ print $2 - $1 }' "$scratch/no-rng" | median)
echo "guest boot in QEMU without KVM (seconds since the kernel started, median of $boots boots)"
figure "guest boot to configured" "$configured" "shell" "$shell" s "<=" 2.0
figure "guest boot to the panel" "$panel" "shell" "$shell" s "<=" 2.5
figure "seedcfg in the guest, virtio RNG" "$seedcfg" "no RNG" "$seedcfg_no_rng" s "<=" 0.5
