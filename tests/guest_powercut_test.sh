#!/usr/bin/env bash
# Power cuts while seedcfg writes its files, in the QEMU guest of
# deploy/guest/lib.sh. A disk holding an earlier configuration (first boot
# done, an administrator's line added to root's keys, the service log at its
# cap so that the next run rotates it) boots with changed documents: the
# cloud's key rotated, a new password, a new host name, a new instance. QEMU
# gets SIGKILL at chosen instants: what it wrote to the disk file stays, what
# the guest held in memory is gone, as in a power cut.
#   guest_powercut_test.sh BUILD [--cuts N] [--seed S]
# The instants are offsets from the first write to the disk after the boot
# record's network line (the service log's rotation, then seedcfg's files),
# within the span up to the configured line that a boot without cut measures
# first: a quarter of the cuts over all of it, the rest where those saw the
# files change. Each lies in its own slice of equal width, at a random place
# in it (--seed S gives the same places again). Each cut gets a fresh copy of
# the prepared disk, read from outside afterwards (journal replayed on a
# copy, e2fsck -n, debugfs), then boots once more with the same documents and
# must come up configured; one of those disks, cut between two writes, ends
# the test with SSH logins with the rotated key and the new password.
set -u
build=$(realpath "$1")
shift
cuts=40
seed=$(($(date +%s%N) / 1000 % 1000000))
while [ $# -gt 0 ]; do
  case $1 in
  --cuts) cuts=$2; shift 2 ;;
  --seed) seed=$2; shift 2 ;;
  *) echo "usage: $0 BUILD [--cuts N] [--seed S]" >&2; exit 2 ;;
  esac
done
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/deploy/guest/lib.sh"
guest_setup "$build" || exit 1
began=$EPOCHREALTIME
echo "cuts: $cuts, seed: $seed"

scratch=$(mktemp -d /tmp/guest-powercut-test.XXXXXX)
lanes=()
finish() {
  local lane
  for lane in "${lanes[@]}"; do kill -TERM "$lane" 2>/dev/null; wait "$lane" 2>/dev/null; done
  guest_stop
  rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP
mkfifo "$scratch/never"  # read with a time-out: a pause without a process
exec {never}<>"$scratch/never"
pause() { read -r -t "$1" -u "$never" _; }
# Milliseconds since the first argument, an $EPOCHREALTIME.
since() { local now=$EPOCHREALTIME; echo $(((${now/./} - ${1/./}) / 1000)); }
seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }
verifies() {  # verifies HASH PASSWORD
  local salt
  salt=$(cut -d'$' -f3 <<<"$1")
  [ -n "$salt" ] && [ "$(openssl passwd -6 -salt "$salt" "$2")" = "$1" ]
}

# The documents: the shipped ones, and the changed ones with a key pair
# made here.
old_docs=$top/deploy/guest/metadata
new_docs=$scratch/new
old_key=$(sed -n 's/.*"data": "\(.*\)".*/\1/p' "$old_docs/openstack/latest/meta_data.json")
admin_key="ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdm1nAdd3dByHandN0tByTheCloud0123456789ab admin@console"
new_password=cut-over-password-2
ssh-keygen -q -t ed25519 -N '' -C ops@rotated -f "$scratch/rotated" || exit 1
new_key=$(cat "$scratch/rotated.pub")
cp -r "$old_docs" "$new_docs"
sed -i -e "s|$old_key|$new_key|" -e 's/"hostname": "vorna-guest"/"hostname": "vorna-recut"/' \
  -e 's/"uuid": "[^"]*"/"uuid": "7c1d2e3f-4a5b-4c6d-8e9f-0a1b2c3d4e5f"/' \
  "$new_docs/openstack/latest/meta_data.json"
sed -i -e 's/^hostname: .*/hostname: vorna-recut/' -e "s/root:guest-panel-password/root:$new_password/" \
  "$new_docs/openstack/latest/user_data"
guest_drive iso "$old_docs" "$scratch/old.iso" && guest_drive iso "$new_docs" "$scratch/new.iso" || exit 1

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
replayed() {  # replayed DISK COPY: COPY with the journal replayed as the next mount would
  cp --sparse=always "$1" "$2" && e2fsck -E journal_only -p "$2" >/dev/null 2>&1
}
clean() {  # clean DISK: e2fsck -n finds nothing to repair (ext4's free counts aside)
  local report status
  report=$(e2fsck -fn "$1" 2>&1)
  status=$?
  report=$(grep -B1 '^Fix? no' <<<"$report" | grep -v -e '^Fix? no' -e '^--' -e '^Free \(blocks\|inodes\) count wrong')
  [ "$status" = 0 ] && [ -z "$report" ] && return 0
  echo "e2fsck status $status: ${report//$'\n'/; }"
  return 1
}
dump() {  # dump DISK DIR: /etc/cloud, /root/.ssh and /var/log under DIR
  rm -rf "$2" && mkdir -p "$2" && debugfs -R "rdump /etc/cloud /root/.ssh /var/log $2" "$1" >/dev/null 2>&1
}

# The prepared disk: the first boot, then the administrator's line and the
# service log at its cap (1 MiB) with two full generations, written with
# the journal replayed first so that no later replay undoes them.
prepared=$scratch/prepared.img
guest_disk "$prepared" || exit 1
guest_start "$scratch/first.serial" "$prepared" "$scratch/old.iso"
if ! guest_wait "$scratch/first.serial" configured 90; then
  echo "FAIL the first boot did not get configured"
  tail -n 30 "$scratch/first.serial" "$scratch/first.serial.qemu"
  exit 1
fi
guest_stop
e2fsck -fy "$prepared" >/dev/null 2>&1
dump "$prepared" "$scratch/old"
old=$scratch/old
cp "$old/.ssh/authorized_keys" "$scratch/keys" && echo "$admin_key" >>"$scratch/keys"
filler() {  # filler NAME BYTES: log lines of NAME, BYTES in all
  local i
  for ((i = 0; i < 20000; i++)); do printf '[2026-01-01 00:00:00 UTC] %s line %06d of an earlier run\n' "$1" "$i"; done |
    head -c "$(($2 - 1))"
  echo
}
{ cat "$old/log/seedcfg.log"; filler live $((1048576 - $(stat -c %s "$old/log/seedcfg.log"))); } >"$scratch/live"
filler first 1048576 >"$scratch/gen1" && filler second 1048576 >"$scratch/gen2"
{ printf 'rm /root/.ssh/authorized_keys\nwrite %s /root/.ssh/authorized_keys\n' "$scratch/keys"
  printf 'sif /root/.ssh/authorized_keys mode 0100600\nrm /var/log/seedcfg.log\n'
  printf 'write %s /var/log/seedcfg.log\nwrite %s /var/log/seedcfg.log.1\n' "$scratch/live" "$scratch/gen1"
  printf 'write %s /var/log/seedcfg.log.2\n' "$scratch/gen2"
  for log in seedcfg.log seedcfg.log.1 seedcfg.log.2; do printf 'sif /var/log/%s mode 0100600\n' "$log"; done
} | debugfs -w -f - "$prepared" >/dev/null 2>&1
clean "$prepared" || { echo "FAIL the prepared disk is not clean"; exit 1; }
dump "$prepared" "$old"
cmp -s "$old/log/seedcfg.log" "$scratch/live" && cmp -s "$old/.ssh/authorized_keys" "$scratch/keys" ||
  { echo "FAIL the prepared disk does not hold what was written"; exit 1; }

# A cut: boots DISK with the changed documents and the disk slowed to
# $iops requests a second (the boot's reads are few), waits for the boot
# record's network line, then for the first write to the disk file after
# it (the service log's rotation or seedcfg's first file); sets t_start,
# t_network and t_write. cut_boot DISK SERIAL
iops=40
cut_boot() {
  guest_disk_options="throttling.iops-total=$iops"
  guest_start "$2" "$1" "$scratch/new.iso"
  guest_disk_options=
  t_start=$EPOCHREALTIME
  local i
  for ((i = 0; i < 6000; i++)); do
    grep -q '^vorna-boot [0-9.]* network' "$2" && break
    kill -0 "$guest_pid" 2>/dev/null || return 1
    pause 0.01
  done
  touch "$2.mark"
  t_network=$(since "$t_start")
  for ((i = 0; i < 30000; i++)); do
    [ "$1" -nt "$2.mark" ] && break
    kill -0 "$guest_pid" 2>/dev/null || return 1
    pause 0.002
  done
  t_write=$(since "$t_start")
  [ "$1" -nt "$2.mark" ]
}

# The new versions, and seedcfg's span: a boot without cut.
reference=$scratch/reference.img
cp --sparse=always "$prepared" "$reference"
guest_port=$(guest_free_port)
guest_ssh_port=$(guest_free_port)
if ! cut_boot "$reference" "$scratch/reference.serial" || ! guest_wait "$scratch/reference.serial" configured 60; then
  echo "FAIL the boot without cut did not get configured"
  tail -n 30 "$scratch/reference.serial" "$scratch/reference.serial.qemu"
  exit 1
fi
t_configured=$(since "$t_start")
guest_stop
new=$scratch/new-files
replayed "$reference" "$scratch/reference.copy" && dump "$scratch/reference.copy" "$new"
instance=$(sed -n 's/.*"uuid": "\([^"]*\)".*/\1/p' "$new_docs/openstack/latest/meta_data.json")
grep -qx 'Hostname = vorna-recut' "$new/cloud/settings.ini" && grep -qx "instance=$instance" "$new/cloud/status" &&
  grep -qxF "$new_key" "$new/.ssh/authorized_keys" && grep -qxF "$admin_key" "$new/.ssh/authorized_keys" ||
  { echo "FAIL the boot without cut did not take the changed documents"; exit 1; }
# The managed list in between: the new keys, then the old ones no longer given.
union=$scratch/union
{ cat "$new/cloud/authorized_keys.managed"; grep -vxFf "$new/cloud/authorized_keys.managed" \
  "$old/cloud/authorized_keys.managed"; } >"$union"
window=$((t_configured - t_write))
echo "seedcfg's window (since QEMU started, disk at $iops requests/s): network $(seconds "$t_network") s," \
  "first write $(seconds "$t_write") s, configured $(seconds "$t_configured") s: cuts 0 to $window ms after the first write"
grep -a '^vorna-boot' "$scratch/reference.serial" | tr -d '\r' | sed 's/^/   /'

# The class of a file after a cut: O the old version, N the new one, U the
# managed list's union, X anything else (missing, empty, cut short, mixed,
# a link to another). The password's hash and the settings' copy of it are
# new when they verify the new password, the salt being new each run.
settings_form() { sed 's/^PasswordHash = .*/PasswordHash = /' "$1"; }
file_class() {  # file_class DIR DISK NAME
  local dir=$1 disk=$2 name=$3 file path
  case $name in
  authorized_keys) file=$dir/.ssh/$name; path=/root/.ssh/$name ;;
  *) file=$dir/cloud/$name; path=/etc/cloud/$name ;;
  esac
  if [ ! -f "$file" ] || [ -L "$file" ] ||
    ! debugfs -R "stat $path" "$disk" 2>/dev/null | grep -q 'Type: regular.*' ||
    ! debugfs -R "stat $path" "$disk" 2>/dev/null | grep -q 'Links: 1 '; then
    echo X; return
  fi
  if cmp -s "$file" "$old/cloud/$name" || cmp -s "$file" "$old/.ssh/$name"; then echo O; return; fi
  case $name in
  settings.ini)
    settings_form "$file" | cmp -s - <(settings_form "$new/cloud/$name") &&
      verifies "$(sed -n 's/^PasswordHash = //p' "$file")" "$new_password" && { echo N; return; } ;;
  password.hash)
    [ "$(wc -l <"$file")" = "$(wc -l <"$new/cloud/$name")" ] &&
      verifies "$(head -n 1 "$file")" "$new_password" && { echo N; return; } ;;
  authorized_keys)
    cmp -s "$file" "$new/.ssh/$name" && { echo N; return; } ;;
  *)
    cmp -s "$file" "$new/cloud/$name" && { echo N; return; }
    [ "$name" = authorized_keys.managed ] && cmp -s "$file" "$union" && { echo U; return; } ;;
  esac
  echo X
}
files=(settings.ini authorized_keys.managed authorized_keys password.hash status)
# What a cut between two writes leaves, in the order seedcfg writes them.
sequence=" OOOOO NOOOO NUOOO NUNOO NNNOO NNNNO NNNNN "
# The service log after a cut: no NUL byte in any of its files, and no
# generation cut off. With "order", the rotation's copies (.3 from .2, then
# .2 from .1, then .1 from the live file) are also on the disk in order.
# Prints how many copies are there (0 to 3; "m" marks a generation that
# holds parts of both versions, as an overwrite cut midway leaves it), or
# "damaged (...)". log_state DIR [order]
log_state() {
  local log=$1/log/seedcfg.log file g state= size
  local before=("" "$old/log/seedcfg.log.1" "$old/log/seedcfg.log.2" "")
  local after=("" "$old/log/seedcfg.log" "$old/log/seedcfg.log.1" "$old/log/seedcfg.log.2")
  for file in "$log" "$log".[123]; do
    [ -e "$file" ] || continue
    [ "$(tr -dc '\000' <"$file" | wc -c)" = 0 ] || { echo "damaged (NUL bytes in ${file##*/})"; return; }
  done
  [ -e "$log" ] || { echo "damaged (no live file)"; return; }
  for g in 3 2 1; do
    file=$log.$g
    size=$(stat -c %s "$file" 2>/dev/null || echo none)
    if [ -z "${before[g]}" ] && [[ $size == none || $size == 0 ]]; then state+=o  # not begun
    elif [ -n "${before[g]}" ] && cmp -s "$file" "${before[g]}"; then state+=o
    elif cmp -s "$file" "${after[g]}"; then state+=n
    elif [ "$size" = "$(stat -c %s "${after[g]}")" ]; then state+=m
    else echo "damaged (${file##*/} cut off: $size bytes)"; return
    fi
  done
  if [ "${2:-}" = order ] && [[ ! $state =~ ^(ooo|[nm]oo|n[nm]o|nn[nm])$ ]]; then
    echo "damaged (the generations out of order: $state)"; return
  fi
  case $state in ooo) echo 0 ;; noo) echo 1 ;; nno) echo 2 ;; nnn) echo 3 ;; *) echo "$state" ;; esac
}

# One cut, its reading and the boot after it; its table row in row.N and
# its faults in faults.N. one_cut N OFFSET_MS
one_cut() {
  local n=$1 offset=$2 disk=$scratch/cut$1.img serial=$scratch/cut$1.serial state= name class
  local faults=$scratch/faults.$n instant dir=$scratch/cut$1.files
  : >"$faults"
  local wait_for
  wait_for=$(seconds "$offset")
  cp --sparse=always "$prepared" "$disk"
  if ! cut_boot "$disk" "$serial"; then
    echo "cut $n: no write after the network line" >>"$faults"
    guest_stop
    printf '%4d  %s\n' "$n" "no write seen" >"$scratch/row.$n"
    return
  fi
  pause "$wait_for"
  kill -KILL "$guest_pid"
  instant=$(since "$t_start")
  { wait "$guest_pid"; } 2>/dev/null  # without the shell's "Killed"
  guest_pid=
  # Read as the next mount would find it.
  if ! replayed "$disk" "$disk.copy"; then echo "cut $n: the journal replay failed" >>"$faults"; fi
  clean "$disk.copy" >"$disk.fsck" || echo "cut $n: after the journal replay, $(cat "$disk.fsck")" >>"$faults"
  dump "$disk.copy" "$dir"
  for name in "${files[@]}"; do
    class=$(file_class "$dir" "$disk.copy" "$name")
    state+=$class
    [ "$class" != X ] || echo "cut $n: $name is neither the old nor the new version" >>"$faults"
  done
  [[ $sequence == *" $state "* ]] || echo "cut $n: $state is no point of the write order" >>"$faults"
  local logs
  logs=$(log_state "$dir" order)
  [[ $logs != damaged* ]] || echo "cut $n: the service log is $logs" >>"$faults"
  logs=${logs%% *}
  rm -f "$disk.copy"
  rm -rf "$dir"

  # The boot after the cut, with the same documents and a normal disk.
  local next=$scratch/next$1.serial converged=yes logs_after
  guest_start "$next" "$disk" "$scratch/new.iso"
  if guest_wait "$next" configured 60; then
    kill -KILL "$guest_pid"
    { wait "$guest_pid"; } 2>/dev/null
    guest_pid=
    replayed "$disk" "$disk.copy" && dump "$disk.copy" "$dir"
    for name in "${files[@]}"; do
      [ "$(file_class "$dir" "$disk.copy" "$name")" = N ] || { converged=no; echo "cut $n: after the next boot $name is not new" >>"$faults"; }
    done
    grep -qxF "$admin_key" "$dir/.ssh/authorized_keys" ||
      { converged=no; echo "cut $n: the administrator's line is gone" >>"$faults"; }
    ! grep -qF "$old_key" "$dir/.ssh/authorized_keys" ||
      { converged=no; echo "cut $n: the replaced key is still authorized" >>"$faults"; }
    [ "$(sed -n 's/^PasswordHash = //p' "$dir/cloud/settings.ini")" = "$(cat "$dir/cloud/password.hash")" ] ||
      { converged=no; echo "cut $n: settings.ini and password.hash name different hashes" >>"$faults"; }
    logs_after=$(log_state "$dir")
    [[ $logs_after != damaged* ]] || echo "cut $n: after the next boot the service log is $logs_after" >>"$faults"
  else
    converged=no
    echo "cut $n: the next boot did not get configured" >>"$faults"
    guest_stop
  fi
  local fsck
  fsck=$(grep -a -o '^vorna-boot [0-9.]* fsck [0-9]*' "$next" | awk '{print $4}')
  [ "${fsck:-0}" = 0 ] || echo "cut $n: the guest's e2fsck -p ended with status $fsck" >>"$faults"
  printf '%4d  %7s  %6d   %s   %s %s %s %s %s    %-4s %-3s %s\n' "$n" "$(seconds "$instant")" "$offset" "$state" \
    "${state:0:1}" "${state:1:1}" "${state:2:1}" "${state:3:1}" "${state:4:1}" "$logs" "${fsck:-?}" "$converged" >"$scratch/row.$n"
  # The first disk cut between two writes that came up configured is kept
  # for the SSH login at the end (a link made once, whichever lane is first).
  [[ $converged == yes && $state == *O* && $state == *[NU]* ]] && ln "$disk" "$scratch/login.img" 2>/dev/null
  rm -f "$disk" "$disk.copy" "$disk.fsck"
  rm -rf "$dir"
}

# Cuts FIRST to LAST-1 spread over LOW to HIGH ms, each in its own slice of
# the span at a random place, in two lanes side by side (each with its own
# QEMU and forwarded port). cuts_over FIRST LAST LOW HIGH
RANDOM=$seed
lane_count=$(($(nproc) >= 2 ? 2 : 1))
cuts_over() {
  local first=$1 last=$2 low=$3 span=$(($4 - $3)) n lane offsets=()
  for ((n = first; n < last; n++)); do
    offsets[n]=$((low + ((n - first) * span + (RANDOM * 32768 + RANDOM) % span) / (last - first)))
  done
  for ((lane = 0; lane < lane_count; lane++)); do
    (
      trap 'guest_stop; exit 1' TERM
      guest_port=$(guest_free_port)
      guest_ssh_port=$(guest_free_port)
      for ((n = first + lane; n < last; n += lane_count)); do
        kill -0 $$ 2>/dev/null || break
        one_cut "$n" "${offsets[n]}"
      done
    ) &
    lanes+=($!)
  done
  for lane in "${lanes[@]}"; do wait "$lane"; done
  lanes=()
}
# A quarter of the cuts over the whole span; the rest where those saw the
# files change (the last all old, the first all new, and a margin), as the
# writes take a part of the span that varies with the guest's start.
probes=$((cuts < 8 ? cuts : cuts / 4))
cuts_over 0 "$probes" 0 "$window"
low=0 high=$window
for ((n = 0; n < probes; n++)); do
  read -r _ _ offset state _ <"$scratch/row.$n" 2>/dev/null || continue
  [ "$state" != OOOOO ] || [ "$offset" -lt "$low" ] || low=$offset
done
for ((n = probes - 1; n >= 0; n--)); do
  read -r _ _ offset state _ <"$scratch/row.$n" 2>/dev/null || continue
  [ "$state" != NNNNN ] || [ "$offset" -gt "$high" ] || [ "$offset" -le "$low" ] || high=$offset
done
margin=$(((high - low) / 4 + 50))
low=$((low > margin ? low - margin : 0))
high=$((high + margin < window ? high + margin : window))
if [ "$probes" -lt "$cuts" ]; then
  echo "the files changed between $low and $high ms after the first write: $((cuts - probes)) cuts there"
  cuts_over "$probes" "$cuts" "$low" "$high"
fi

echo " cut  instant  offset   state   S M K P T    logs fsck converged"
echo "         (s)     (ms)           (settings.ini, .managed, authorized_keys, password.hash, status)"
mixed=0
for ((n = 0; n < cuts; n++)); do
  cat "$scratch/row.$n" 2>/dev/null || echo "$n: no row"
  while read -r line; do fail "$line"; done <"$scratch/faults.$n"
  state=$(awk '{print $4}' "$scratch/row.$n" 2>/dev/null)
  [[ $state == *O* && $state == *[NU]* ]] && mixed=$((mixed + 1))
done
echo "$mixed cuts between the first and the last write"
need=$((cuts >= 40 ? 5 : cuts / 8))
[ "$mixed" -ge "$need" ] || fail "only $mixed cuts fell between seedcfg's writes ($need needed): the cuts missed the window"

# SSH logins with the rotated key and the new password, on a disk cut
# between two writes and booted again since.
if [ -e "$scratch/login.img" ]; then
  guest_port=$(guest_free_port)
  guest_ssh_port=$(guest_free_port)
  guest_start "$scratch/login.serial" "$scratch/login.img" "$scratch/new.iso"
  guest_wait "$scratch/login.serial" panel 90 || fail "the boot for the SSH login did not reach the panel"
  ssh_options=(-p "$guest_ssh_port" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
               -o ConnectTimeout=15 -o LogLevel=ERROR root@127.0.0.1)
  login=$(timeout 40 ssh -o BatchMode=yes -o IdentitiesOnly=yes -i "$scratch/rotated" "${ssh_options[@]}" hostname 2>&1)
  [ "$login" = vorna-recut ] && echo "ok   SSH login with the rotated key (host name $login)" ||
    fail "SSH login with the rotated key: $login"
  login=$(timeout 40 sshpass -p "$new_password" ssh -o PubkeyAuthentication=no -o PreferredAuthentications=password \
    -o NumberOfPasswordPrompts=1 "${ssh_options[@]}" hostname 2>&1)
  [ "$login" = vorna-recut ] && echo "ok   SSH login with the new password" || fail "SSH login with the new password: $login"
  guest_stop
else
  fail "no disk cut between two writes came up for the SSH login"
fi
echo "time: $(seconds "$(since "$began")") s"
echo "$failures failures"
[ "$failures" = 0 ]
