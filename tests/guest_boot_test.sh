#!/usr/bin/env bash
# The whole system in a QEMU guest (deploy/guest/lib.sh): one boot per row of the
# table below, each checked from its boot record, its persistent disk (read
# with debugfs after QEMU has ended), its panel over HTTPS and an SSH login
# at the metadata's address with key pairs made here.
#   guest_boot_test.sh BUILD [BROWSER_DIR]
# With BROWSER_DIR the browser journey of tests/browser runs once against
# the first guest, its screenshots there.
set -u
build=$(realpath "$1")
browser=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/deploy/guest/lib.sh"
guest_setup "$build" || exit 1

scratch=$(mktemp -d /tmp/guest-boot-test.XXXXXX)
trap 'guest_stop; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM HUP
guest_port=$(guest_free_port)
guest_ssh_port=$(guest_free_port)
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

# The documents with a key pair made now in place of the sample's key, and
# the second documents with that key rotated; a third pair the cloud never
# gave.
for pair in ops rotated foreign; do
  ssh-keygen -q -t ed25519 -N '' -C "$pair@test" -f "$scratch/key-$pair" || exit 1
done
sample_key=$(sed -n 's/.*"data": "\(.*\)".*/\1/p' "$top/deploy/guest/metadata/openstack/latest/meta_data.json")
old_key=$(cat "$scratch/key-ops.pub")
new_key=$(cat "$scratch/key-rotated.pub")
admin_key="ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdm1nAdd3dByHandN0tByTheCloud0123456789ab admin@console"
for docs in metadata rotated; do
  cp -r "$top/deploy/guest/metadata" "$scratch/$docs"
done
sed -i "s|$sample_key|$old_key|" "$scratch/metadata/openstack/latest/meta_data.json"
sed -i "s|$sample_key|$new_key|" "$scratch/rotated/openstack/latest/meta_data.json"

# SSH to the guest through the forwarded port, each row with its own known
# hosts (a fresh disk has a fresh host key).
ssh_options() {
  echo -p "$guest_ssh_port" -o StrictHostKeyChecking=no -o "UserKnownHostsFile=$scratch/$name.known_hosts" \
    -o ConnectTimeout=15 -o LogLevel=ERROR
}
ssh_key() {  # ssh_key PAIR COMMAND
  local pair=$1; shift
  # shellcheck disable=SC2046
  timeout 40 ssh $(ssh_options) -o BatchMode=yes -o IdentitiesOnly=yes -i "$scratch/key-$pair" root@127.0.0.1 "$@"
}
ssh_password() {  # ssh_password PASSWORD COMMAND
  local secret=$1; shift
  # shellcheck disable=SC2046
  timeout 40 sshpass -p "$secret" ssh $(ssh_options) -o PubkeyAuthentication=no \
    -o PreferredAuthentications=password -o NumberOfPasswordPrompts=1 root@127.0.0.1 "$@"
}
# The guest's side of the connection is the metadata's address.
at_address() { "$@" 'echo $SSH_CONNECTION' | grep -q " $guest_address 22\$"; }
refused() { ! "$@"; }

# The panel's API: GET PATH, and a task as a job to its end (its last reply
# printed; 0 when it ended with status 0).
api() { curl -sk --max-time 20 -u "root:$password" "$url$1"; }
csrf=
task() {
  local job reply
  reply=$(curl -sk --max-time 20 -u "root:$password" -H "X-Dashwick-Token: $csrf" --data "$1" "$url/api/run")
  job=$(sed -n 's/{"job":\([0-9]*\)}/\1/p' <<<"$reply")
  [ -n "$job" ] || { echo "$reply"; return 1; }
  for _ in $(seq 80); do  # a restarted nginx misses a few polls
    reply=$(api "/api/job?id=$job")
    grep -q '"done":true' <<<"$reply" && break
    sleep 0.5
  done
  echo "$reply"
  grep -q '"done":true,"exit":0' <<<"$reply"
}
# check_task WHAT FORM: a task checked, its reply shown when it failed.
check_task() {
  local reply
  reply=$(task "$2") && echo "ok   $1" && return 0
  echo "FAIL $1"
  echo "   $reply"
  failures=$((failures + 1))
  return 1
}
panel_answers() {
  for _ in $(seq 40); do
    [ "$(curl -sk --max-time 5 -o /dev/null -w '%{http_code}' "$url/")" = 200 ] && return 0
    sleep 0.5
  done
  return 1
}
# NAME STATE pairs, sorted, from service list's output over SSH (coloured)
# or in a job's reply (JSON).
states() {
  sed -e 's/\x1b\[[0-9;]*m//g' -e 's/\\u000a/\n/g' | awk 'NF == 3 && $3 != "STATE" { print $1, $3 }' | sort
}

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
  docs=$scratch/$docs
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
  pair=ops; [ "$kind" = kept ] && pair=rotated
  login=$(ssh_key "$pair" 'echo "$SSH_CONNECTION"; hostname; cat /proc/sys/kernel/random/entropy_avail' 2>&1)
  check "$name: SSH login with the metadata's key at $guest_address" grep -q " $guest_address 22\$" <<<"$login" ||
    sed 's/^/   /' <<<"$login"
  echo "   ssh root@$guest_address (the connection, host name, entropy): $(paste -sd' ' <<<"$login")"
  if [ "$name" = iso ]; then
    check "iso: SSH login with the user data's password" at_address ssh_password "$password"
    check "iso: a key the metadata never gave is refused" refused ssh_key foreign true
    check "iso: a wrong password is refused" refused ssh_password "not-$password" true
    check "iso: the default route through the gateway" \
      grep -qx "default via $guest_gateway dev eth0 *" <<<"$(ssh_key ops 'busybox ip route')"
    check "iso: the name servers in /etc/resolv.conf" \
      test "$(ssh_key ops 'cat /etc/resolv.conf')" = "$(printf 'nameserver %s\n' 10.20.0.2 10.20.0.3)"
    system=$(api /api/system)
    check "iso: /api/system, the guest's kernel and host name" grep -q \
      "\"hostname\":\"vorna-guest\",\"release\":\"$(basename "$guest_modules")\"" <<<"$system"
    check "iso: /api/logs lists seedcfg.log" grep -q '"seedcfg.log"' <<<"$(api /api/logs)"
    csrf=$(sed -n 's/.*"csrf":"\([0-9a-f]*\)".*/\1/p' <<<"$system")
    # The panel's tasks on the guest's own tools.
    check "iso: /api/logs lists dropbear.log" grep -q '"dropbear.log"' <<<"$(api /api/logs)"
    check_task "iso: the panel stops dropbear" 'operation=service&action=stop&name=dropbear'
    check "iso: no SSH login with dropbear stopped" refused ssh_key ops true
    check_task "iso: the panel starts dropbear" 'operation=service&action=start&name=dropbear'
    check "iso: SSH logins again with dropbear started" ssh_key ops true
    check_task "iso: the panel installs dirtree" 'operation=package&action=install&name=dirtree'
    check "iso: dirtree runs over SSH" ssh_key ops 'dirtree /usr/share/dashwick'
    check_task "iso: the panel removes dirtree" 'operation=package&action=remove&name=dirtree'
    check "iso: dirtree is gone" test "$(ssh_key ops 'command -v dirtree || echo gone')" = gone
    # The panel leaves its own services (nginx, dashwick) to SSH.
    check "iso: nginx restarted over SSH" ssh_key ops 'service restart nginx'
    check "iso: the panel answers after nginx's restart" panel_answers
    view=$(task 'operation=services' | states)
    check "iso: the services view's states are service list's" \
      test -n "$view" -a "$view" = "$(ssh_key ops 'service list' | states)"
    echo "   services: $(paste -sd, <<<"$view")"
  fi
  if [ "$kind" = kept ]; then
    check "$name: the same host key as the first boot" \
      test "$(cut -d' ' -f2- "$scratch/iso.known_hosts")" = "$(cut -d' ' -f2- "$scratch/again.known_hosts")"
    check "$name: the replaced key is refused" refused ssh_key ops true
  fi
  if [ "$kind" = kept ] && [ -n "$browser" ]; then
    # A stopped service for the journey to start.
    ssh_key rotated 'service stop crond && service disable crond' >/dev/null
    PANEL_PASSWORD=$password PANEL_HOSTNAME=vorna-guest PANEL_TOOLS=guest \
      "$top/tests/browser/run.sh" - "$browser" "$url" 2>&1 | sed 's/^/   /'
    check "$name: the browser journey of tests/browser" test "${PIPESTATUS[0]}" = 0
  fi
  ssh_key "$pair" sync  # what the tasks wrote, on the disk before QEMU ends
  guest_stop
  grep -a -E '^(vorna-|SYSLINUX)' "$serial" | tr -d '\r' | sed 's/^/   /'
  if [ "$kind" = image ]; then
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
    # The CD-ROM comes first; the FAT drive follows the persistent disk.
    mount="/dev/cd0 /mnt/cloud/drive0 iso9660"
    [ "$drive" = fat ] && mount="/dev/vdb /mnt/cloud/drive1 vfat"
    check "$name: the drive read-only under /mnt/cloud ($mount)" grep -qE "^vorna-mount $mount ro," "$serial"
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
echo "$failures failures in $SECONDS s"
[ "$failures" = 0 ]
