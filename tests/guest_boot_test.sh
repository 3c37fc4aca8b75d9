#!/usr/bin/env bash
# The whole system in a QEMU guest (deploy/guest/lib.sh): one boot per row of the
# table below, each checked from its boot record, its persistent disk (read
# with debugfs after QEMU has ended) and its panel over HTTPS.
#   guest_boot_test.sh BUILD [BROWSER_DIR]
# With BROWSER_DIR the browser journey of tests/browser runs once against
# the first guest, its screenshots there.
set -u
build=$(realpath "$1")
browser=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)
guest_dir=$build/guest
. "$top/deploy/guest/lib.sh"
guest_packages || exit 1
mkdir -p "$guest_dir"
guest_parts "$build" || exit 1

scratch=$(mktemp -d /tmp/guest-boot-test.XXXXXX)
trap 'guest_stop; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM HUP
for _ in $(seq 20); do
  guest_port=$((20000 + RANDOM % 40000))
  (exec 3<>"/dev/tcp/127.0.0.1/$guest_port") 2>/dev/null || break
done
url=https://127.0.0.1:$guest_port
password=guest-panel-password
failures=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); return 1; fi
}
disk=
on_disk() { debugfs -R "cat $1" "$disk" 2>/dev/null; }
has() { on_disk "$1" | grep -qxF -- "$2"; }

# The second documents: the cloud's key rotated.
old_key=$(sed -n 's/.*"data": "\(.*\)".*/\1/p' "$top/deploy/guest/metadata/openstack/latest/meta_data.json")
new_key="ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBr0tAt3dK3yF0rTh3Gu3stT3stK3y5eC0nDb00tXyZ9 ops@rotated"
admin_key="ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdm1nAdd3dByHandN0tByTheCloud0123456789ab admin@console"
cp -r "$top/deploy/guest/metadata" "$scratch/rotated"
sed -i "s|$old_key|$new_key|" "$scratch/rotated/openstack/latest/meta_data.json"

# name   drive  disk   documents  source label
scenarios=(
  "iso     iso    fresh  metadata   config-drive"
  "fat     fat    fresh  metadata   config-drive"
  "service none   fresh  metadata   http"
  "again   iso    kept   rotated    config-drive"
  "image   iso    image  metadata   config-drive"
)
for row in "${scenarios[@]}"; do
  read -r name drive kind docs label <<<"$row"
  echo "== $name"
  [ "$docs" = metadata ] && docs=$top/deploy/guest/metadata || docs=$scratch/$docs
  attached=
  [ "$drive" = none ] || { guest_drive "$drive" "$docs" "$scratch/drive.$drive" && attached=$scratch/drive.$drive; }
  guest_metadata=
  [ "$drive" != none ] || guest_metadata=$docs
  guest_boot_image=
  case $kind in
  fresh) disk=$scratch/$name.img; guest_disk "$disk" ;;
  kept)  # with an administrator's own line in root's keys file, and the
         # log files that the browser journey looks for
    disk=$scratch/iso.img
    on_disk /root/.ssh/authorized_keys >"$scratch/keys" && echo "$admin_key" >>"$scratch/keys"
    printf 'alpha: service started\n\033[31mbeta: disk almost full\033[0m\ngamma: \033]0;title\007link up\ndelta: Beta test finished\r\n' >"$scratch/demo.log"
    echo 'older generation' >"$scratch/app.log.1" && : >"$scratch/zeta.log"
    for i in $(seq 1700); do printf 'line %06d %s\n' "$i" xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx; done >"$scratch/big.log"
    { printf 'rm /root/.ssh/authorized_keys\nwrite %s /root/.ssh/authorized_keys\nsif /root/.ssh/authorized_keys mode 0100600\n' "$scratch/keys"
      for log in demo.log app.log.1 zeta.log big.log; do printf 'write %s /var/log/%s\n' "$scratch/$log" "$log"; done
    } | debugfs -w -f - "$disk" >/dev/null 2>&1 ;;
  image) disk=$scratch/vorna.qcow2; guest_boot_image=1; guest_image "$disk" ;;
  esac
  serial=$scratch/$name.serial
  started=$(date +%s%N)
  guest_start "$serial" "$disk" "$attached"
  # 20 s on an idle machine; the hard limit allows for a loaded one.
  check "$name: boot record up to the panel" guest_wait "$serial" panel 60 ||
    tail -n 40 "$serial" "$serial.qemu" | sed 's/^/   /'
  echo "   wall time to the panel: $((($(date +%s%N) - started) / 1000000)) ms"
  check "$name: seedcfg exit status 0" grep -qE '^vorna-boot [0-9.]+ seedcfg 0\s*$' "$serial"
  check "$name: GET / through nginx" test "$(curl -sk -o /dev/null -w '%{http_code}' "$url/")" = 200
  if [ "$name" = iso ]; then
    system=$(curl -sk -u "root:$password" "$url/api/system")
    check "iso: /api/system, the guest's kernel and host name" grep -q \
      "\"hostname\":\"vorna-guest\",\"release\":\"$(basename "$guest_modules")\"" <<<"$system"
    check "iso: /api/logs lists seedcfg.log" grep -q '"seedcfg.log"' <<<"$(curl -sk -u "root:$password" "$url/api/logs")"
    csrf=$(sed -n 's/.*"csrf":"\([0-9a-f]*\)".*/\1/p' <<<"$system")
    job=$(curl -sk -u "root:$password" -H "X-Dashwick-Token: $csrf" \
      --data 'operation=service&action=restart&name=dropbear' "$url/api/run" | sed -n 's/{"job":\([0-9]*\)}/\1/p')
    for _ in $(seq 60); do
      reply=$(curl -sk -u "root:$password" "$url/api/job?id=$job")
      grep -q '"done":true' <<<"$reply" && break
      sleep 0.5
    done
    check "iso: a service restart as job $job ends with status 0" grep -q '"done":true,"exit":0' <<<"$reply"
  fi
  if [ "$kind" = kept ] && [ -n "$browser" ]; then
    PANEL_PASSWORD=$password PANEL_HOSTNAME=vorna-guest \
      "$top/tests/browser/run.sh" - "$browser" "$url" 2>&1 | sed 's/^/   /'
    check "$name: the browser journey of tests/browser" test "${PIPESTATUS[0]}" = 0
  fi
  guest_stop
  grep -a -E '^(vorna-|SYSLINUX)' "$serial" | tr -d '\r' | sed 's/^/   /'
  point=drive1
  if [ "$kind" = image ]; then
    # The disk, its boot partition and its data partition come first.
    point=drive3
    qemu-img convert -f qcow2 -O raw "$disk" "$scratch/image.raw"
    start=$(sfdisk -d "$scratch/image.raw" | sed -n 's/^[^ ]*2 : start= *\([0-9]*\),.*/\1/p')
    disk=$scratch/image-data.img
    dd if="$scratch/image.raw" of="$disk" bs=512 skip="$start" status=none
  fi
  # The journal replayed as the next mount would: debugfs reads the blocks
  # in place, and a later replay would undo what it writes.
  e2fsck -E journal_only -p "$disk" >/dev/null 2>&1
  if [ "$drive" = none ]; then
    check "$name: no drive mounted" sh -c "! grep -q vorna-mount '$serial'"
  else
    fs=iso9660; [ "$drive" = fat ] && fs=vfat
    check "$name: the drive read-only under /mnt/cloud" grep -qE "^vorna-mount /dev/vdb /mnt/cloud/$point $fs ro," "$serial"
  fi
  for line in "Hostname = vorna-guest" "Interface = 1" "IP = 10.20.0.15" "Subnet = 255.255.255.0" \
              "Gateway = 10.20.0.1" "1 = 10.20.0.2" "2 = 10.20.0.3"; do
    check "$name: settings.ini has '$line'" has /etc/cloud/settings.ini "$line"
  done
  check "$name: status names the source" has /etc/cloud/status "source=$label"
  hash=$(on_disk /etc/cloud/password.hash)
  check "$name: password.hash verifies the user-data password" \
    test "$(openssl passwd -6 -salt "$(cut -d'$' -f3 <<<"$hash")" "$password")" = "$hash"
  check "$name: seedcfg.log has its start line" sh -c "debugfs -R 'cat /var/log/seedcfg.log' '$disk' 2>/dev/null | grep -q '^\[.* UTC\] seedcfg started$'"
  check "$name: seedcfg.log has its ready line" sh -c "debugfs -R 'cat /var/log/seedcfg.log' '$disk' 2>/dev/null | grep -q '$label configuration ready'"
  keys=/root/.ssh/authorized_keys
  check "$name: the user data's key is authorized" sh -c "debugfs -R 'cat $keys' '$disk' 2>/dev/null | grep -q admin@laptop"
  if [ "$kind" = kept ]; then
    check "$name: the rotated key replaces the old one" has "$keys" "$new_key"
    check "$name: the old managed key is gone" sh -c "! debugfs -R 'cat $keys' '$disk' 2>/dev/null | grep -qF '$old_key'"
    check "$name: the administrator's own line stays" has "$keys" "$admin_key"
  else
    check "$name: the metadata's key is authorized" has "$keys" "$old_key"
  fi
done
echo "$failures failures"
[ "$failures" = 0 ]
