# The VORNA guest on QEMU, shared by scripts/guest, its system test and its
# benchmark (bash, sourced). Everything is made under one work directory
# ($guest_dir, normally BUILD/guest) from Debian packages and the built
# programs; nothing is installed on this machine's /boot or /lib/modules.
#
#   guest_packages [PACKAGE...]     installs the host tools that are missing
#   guest_parts BUILD               kernel and initramfs for BUILD's programs
#   guest_setup BUILD               both, under BUILD/guest
#   guest_free_port                 a free port on this machine's loopback
#   guest_drive iso|fat DOCS FILE   a configuration drive holding DOCS
#   guest_disk FILE                 a fresh persistent disk (ext4)
#   guest_image FILE                the guest as a bootable disk image
#   guest_start SERIAL DISK [DRIVE] starts QEMU, its pid in $guest_pid
#   guest_wait SERIAL STEP SECONDS  waits for a step of the boot record
#   guest_stop                      ends QEMU by its pid
#
# Devices as a cloud attaches them: the persistent disk is the first virtio
# disk, an ISO 9660 configuration drive (FILE ending in .iso) an IDE CD-ROM,
# a FAT drive a second virtio disk, and a virtio RNG (unless $guest_rng is
# 0). The guest's only network is QEMU's user-mode network with restrict=on
# over the metadata's subnet (QEMU is the gateway), which forwards SSH and
# HTTPS from $guest_ssh_port and $guest_port on this machine's loopback to
# the metadata's address, so both answer once the guest has applied it.
# With $guest_metadata naming a directory, a second user-mode network over
# the link-local one answers 169.254.169.254:80 with busybox's httpd serving
# that directory, one process per connection (QEMU refuses a rule for an
# address outside the network's own); the two share the NIC through a hub,
# one connected at a time (guest_start). No packet leaves this machine.

guest_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$guest_top/scripts/lib.sh"  # need_packages, nginx_conf, nginx_certificate
. "$guest_top/deploy/guest/tools.sh"  # the guest's own service, setup and ip
guest_mac=$(sed -n 's/.*"ethernet_mac_address": *"\([^"]*\)".*/\1/p' \
  "$guest_top/deploy/guest/metadata/openstack/latest/network_data.json" | head -n 1)
guest_network() {  # the first value of FIELD in the sample network_data.json
  sed -n "s/.*\"$1\": *\"\([^\"]*\)\".*/\1/p" \
    "$guest_top/deploy/guest/metadata/openstack/latest/network_data.json" | head -n 1
}
guest_address=$(guest_network ip_address)  # what the metadata gives the guest
guest_netmask=$(guest_network netmask)
guest_gateway=$(guest_network gateway)
guest_dns=$(guest_network address)
guest_port=${guest_port:-8443}
guest_ssh_port=${guest_ssh_port:-2222}
guest_rng=${guest_rng:-1}
guest_metadata=${guest_metadata:-}
guest_disk_options=${guest_disk_options:-}  # more -drive options for the persistent disk
guest_pid=
guest_monitor=  # QEMU's monitor while the metadata service's network is connected
# The build targets that guest_parts takes its programs from.
guest_targets=(seedcfg dashwick logrun)

# guest_packages [PACKAGE...]: those and the guest's own, when missing.
guest_packages() {
  local tools=()
  read -ra tools <<<"$(guest_tools_packages)"
  need_packages qemu-system-x86 busybox-static genisoimage dosfstools mtools syslinux \
    syslinux-common qemu-utils fdisk e2fsprogs nginx openssl curl binutils util-linux \
    dropbear-bin openssh-client sshpass "${tools[@]}" "$@"
}

# The backend port that deploy/nginx/dashwick.conf forwards to.
guest_backend_port() {
  grep -oE '127\.0\.0\.1:[0-9]+' "$guest_top/deploy/nginx/dashwick.conf" | head -n 1 | cut -d: -f2
}

# Debian's cloud kernel, unpacked under $guest_dir/kernel; sets guest_kernel
# and guest_modules.
guest_fetch_kernel() {
  local package try
  for try in 1 2; do  # a machine without package lists gets them once
    package=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
      sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    [ -n "$package" ] && break
    [ "$try" = 2 ] || apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null 2>&1
  done
  [ -n "$package" ] || { echo "guest: no package behind linux-image-cloud-amd64" >&2; return 1; }
  if [ ! -d "$guest_dir/kernel/$package" ]; then
    mkdir -p "$guest_dir/kernel"
    (cd "$guest_dir/kernel" && rm -f ./*.deb && apt-get download -q "$package" >/dev/null 2>&1) ||
      { echo "guest: apt-get download $package failed" >&2; return 1; }
    dpkg-deb -x "$guest_dir"/kernel/"$package"_*.deb "$guest_dir/kernel/$package.tmp"
    mv "$guest_dir/kernel/$package.tmp" "$guest_dir/kernel/$package"
  fi
  guest_kernel=$(echo "$guest_dir/kernel/$package"/boot/vmlinuz-*)
  guest_modules=$(echo "$guest_dir/kernel/$package"/lib/modules/*)
}

# Appends module NAME and, before it, what it depends on, to $guest_root/lib/modules.
guest_add_module() {
  local name=$1 file dep
  grep -qx "$name" "$guest_root/lib/modules/order" 2>/dev/null && return 0
  file=$(find "$guest_modules/kernel" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n 1)
  [ -n "$file" ] || { echo "guest: module $name not in the kernel package" >&2; return 1; }
  for dep in $(strings "$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
    guest_add_module "$dep" || return 1
  done
  cp "$file" "$guest_root/lib/modules/$name.ko"
  echo "$name" >>"$guest_root/lib/modules/order"
}

# Copies programs with the shared libraries they load into $guest_root.
guest_add_programs() {
  local program lib
  for program in "$@"; do
    for lib in $(ldd "$program" | grep -oE '/[^ ]+'); do
      [ -e "$guest_root$lib" ] || cp -L --parents "$lib" "$guest_root"
    done
  done
}

# guest_parts BUILD: $guest_dir/vmlinuz and $guest_dir/initrd.img with the
# programs of the build tree BUILD.
guest_parts() {
  local build=$1 port applet module
  guest_fetch_kernel || return 1
  port=$(guest_backend_port)
  [ -n "$port" ] || { echo "guest: no backend port in deploy/nginx/dashwick.conf" >&2; return 1; }
  guest_root=$guest_dir/root
  rm -rf "$guest_root" && mkdir -p "$guest_root"/{bin,dev,proc,sys,run,tmp,mnt,persist,root,lib/modules} \
    "$guest_root"/etc/{cloud,dropbear,nginx,ssl/certs,ssl/private} "$guest_root"/usr/{sbin,share/dashwick} \
    "$guest_root"/var/{log,lib}
  cp /bin/busybox "$guest_root/bin/busybox"
  guest_add_tools "$build" "$guest_root" || return 1
  for applet in $(busybox --list); do
    [ -e "$guest_root/bin/$applet" ] || ln -s busybox "$guest_root/bin/$applet"
  done
  strip -o "$guest_root/usr/sbin/seedcfg" "$build/agent/seedcfg"
  strip -o "$guest_root/usr/sbin/dashwick" "$build/panel/dashwick"
  cp /usr/sbin/nginx /usr/sbin/dropbear /usr/bin/dropbearkey /sbin/e2fsck "$guest_root/usr/sbin/"
  guest_add_programs "$guest_root/usr/sbin/seedcfg" "$guest_root/usr/sbin/dashwick" /usr/sbin/nginx \
    /usr/sbin/dropbear /usr/bin/dropbearkey /sbin/e2fsck
  cp "$guest_top"/panel/assets/* "$guest_root/usr/share/dashwick/" 2>/dev/null || true
  # virtio_rng feeds the kernel's random pool; sr_mod over ata_piix is the
  # cloud's IDE CD-ROM. ext4 and its journal are built into Debian's cloud
  # kernel.
  for module in virtio_pci virtio_blk virtio_net virtio_rng ata_piix sr_mod isofs vfat \
                nls_cp437 nls_ascii nls_utf8; do
    guest_add_module "$module" || return 1
  done
  cp "$guest_top/deploy/guest/init" "$guest_root/init"
  chmod 755 "$guest_root/init"
  echo "$port" >"$guest_root/etc/dashwick.port"
  printf 'root:x:0:0:root:/root:/bin/sh\nwww-data:x:33:33:www-data:/var/www:/bin/false\n' >"$guest_root/etc/passwd"
  printf 'root:x:0:\ntty:x:5:\nwww-data:x:33:\n' >"$guest_root/etc/group"
  printf 'root:*:19700:0:99999:7:::\nwww-data:*:19700:0:99999:7:::\n' >"$guest_root/etc/shadow"
  echo /bin/sh >"$guest_root/etc/shells"
  chmod 600 "$guest_root/etc/shadow"
  chmod 700 "$guest_root/root" "$guest_root/etc/ssl/private" "$guest_root/etc/dropbear"
  nginx_certificate "$guest_root/etc/ssl/private/dashwick.key" "$guest_root/etc/ssl/certs/dashwick.pem" \
    vorna-guest 30
  cp "$guest_top/deploy/nginx/dashwick.conf" "$guest_root/etc/nginx/dashwick.conf"
  nginx_conf /run/nginx /run/nginx.pid off /etc/nginx/dashwick.conf >"$guest_root/etc/nginx/nginx.conf"
  (cd "$guest_root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$guest_dir/initrd.img"
  cp "$guest_kernel" "$guest_dir/vmlinuz"
}

# guest_drive iso|fat DOCS FILE: a configuration drive with the tree DOCS
# (its "openstack" directory), labelled config-2 as the cloud makes them.
guest_drive() {
  local kind=$1 docs=$2 file=$3
  rm -f "$file"
  case $kind in
  iso)
    genisoimage -o "$file" -ldots -allow-lowercase -allow-multidot -l -publisher VORNA \
      -quiet -J -r -V config-2 "$docs" 2>&1 | { grep -v 'does not conform to ISO-9660' >&2 || true; }
    [ -s "$file" ] ;;
  fat)
    truncate -s 64M "$file" && mkfs.vfat -n config-2 "$file" >/dev/null 2>&1 &&
      mcopy -s -i "$file" "$docs/openstack" ::/ ;;
  *) echo "guest: unknown drive $kind" >&2; return 2 ;;
  esac
}

# guest_disk FILE: the persistent disk, empty ext4 with its journal.
guest_disk() {
  rm -f "$1" && truncate -s 32M "$1" && mkfs.ext4 -q -F "$1"
}

# guest_image FILE: a disk with an MBR partition table, syslinux's boot code,
# a FAT boot partition (syslinux, kernel, initramfs) and the ext4 persistent
# partition; qcow2 when FILE ends in .qcow2, raw otherwise. No loop mounts:
# everything is written at its offset with mkfs.vfat, mtools and syslinux.
guest_image() {
  local file=$1 raw=$guest_dir/image.raw boot_start=2048 boot_sectors=131072
  local data_start=$((2048 + 131072))
  rm -f "$raw" && truncate -s 97M "$raw"
  printf 'label: dos\nstart=%d, size=%d, type=c, bootable\nstart=%d, type=83\n' \
    "$boot_start" "$boot_sectors" "$data_start" | sfdisk -q "$raw" >/dev/null || return 1
  dd if=/usr/lib/syslinux/mbr/mbr.bin of="$raw" bs=440 count=1 conv=notrunc status=none
  mkfs.vfat -n VORNA --offset "$boot_start" -h "$boot_start" "$raw" \
    $((boot_sectors / 2)) >/dev/null 2>&1 || return 1
  syslinux --offset $((boot_start * 512)) --install "$raw" || return 1
  cat >"$guest_dir/syslinux.cfg" <<'EOF'
SERIAL 0 115200
DEFAULT vorna
PROMPT 0
TIMEOUT 0
LABEL vorna
  LINUX /vmlinuz
  INITRD /initrd.img
  APPEND console=ttyS0 quiet panic=-1 vorna.persist=/dev/vda2
EOF
  mcopy -i "$raw@@$((boot_start * 512))" "$guest_dir/syslinux.cfg" "$guest_dir/vmlinuz" \
    "$guest_dir/initrd.img" ::/ || return 1
  mkfs.ext4 -q -F -E offset=$((data_start * 512)) "$raw" 32M || return 1
  case $file in
  *.qcow2) qemu-img convert -f raw -O qcow2 "$raw" "$file" && rm -f "$raw" ;;
  *) mv "$raw" "$file" ;;
  esac
}

# guest_start SERIAL DISK [DRIVE] [-- KERNEL ARGUMENTS]: boots the kernel and
# initramfs of guest_parts with DISK as the persistent disk, or with
# guest_boot_image set, that image from its own boot loader. DRIVE, when
# given, is the configuration drive: an IDE CD-ROM when it ends in .iso, a
# virtio disk after DISK otherwise.
guest_start() {
  local serial=$1 disk=$2 drive=${3:-} extra=${4:-} subnet
  subnet=$(busybox ipcalc -n -p "$guest_address" "$guest_netmask" | sort | cut -d= -f2 | paste -sd/)
  local net="user,id=net0,restrict=on,net=$subnet,host=$guest_gateway,dns=$guest_dns"
  net+=",hostfwd=tcp:127.0.0.1:$guest_port-$guest_address:443"
  net+=",hostfwd=tcp:127.0.0.1:$guest_ssh_port-$guest_address:22"
  local args=(-nodefaults -no-user-config -accel tcg -m 256 -smp 1 -display none
              -serial "file:$serial" -no-reboot -netdev "$net")
  guest_monitor=
  if [ -z "$guest_metadata" ]; then
    args+=(-device "virtio-net-pci,netdev=net0,mac=$guest_mac")
  else
    # The metadata service's network joins the NIC on a hub. Each restricted
    # network resets the TCP segments it has no rule for, the other's among
    # them, so only one is connected at a time: the metadata service's until
    # seedcfg has run (guest_wait switches), the metadata's subnet after.
    local meta="user,id=meta0,restrict=on,net=169.254.0.0/16,host=169.254.169.2"
    meta+=",guestfwd=tcp:169.254.169.254:80-cmd:busybox httpd -i -h $guest_metadata"
    guest_monitor=$serial.monitor
    rm -f "$guest_monitor".{in,out} && mkfifo "$guest_monitor".{in,out}
    args+=(-netdev "$meta" -netdev hubport,id=hub0,hubid=0,netdev=net0
           -netdev hubport,id=hub1,hubid=0,netdev=meta0 -netdev hubport,id=nic0,hubid=0
           -device "virtio-net-pci,netdev=nic0,mac=$guest_mac" -S -monitor "pipe:$guest_monitor")
  fi
  [ "$guest_rng" = 0 ] || args+=(-device virtio-rng-pci)
  local format=raw
  case $disk in *.qcow2) format=qcow2 ;; esac
  args+=(-drive "file=$disk,if=virtio,format=$format${guest_disk_options:+,$guest_disk_options}")
  case $drive in
  '') ;;
  *.iso) args+=(-drive "file=$drive,if=ide,media=cdrom") ;;
  *) args+=(-drive "file=$drive,if=virtio,format=raw,readonly=on") ;;
  esac
  [ -n "${guest_boot_image:-}" ] || args+=(-kernel "$guest_dir/vmlinuz" -initrd "$guest_dir/initrd.img"
    -append "console=ttyS0 quiet panic=-1 vorna.persist=/dev/vda $extra")
  : >"$serial"
  # QEMU gets SIGKILL should this shell end without stopping it (a test
  # killed on its time-out).
  setpriv --pdeathsig KILL qemu-system-x86_64 "${args[@]}" </dev/null >>"$serial.qemu" 2>&1 &
  guest_pid=$!
  # Paused (-S) until the subnet's network is disconnected.
  [ -z "$guest_monitor" ] || guest_command 'set_link net0 off' cont
}

# guest_command COMMAND...: QEMU monitor commands, one a line.
guest_command() {
  [ -n "$guest_monitor" ] || return 1
  timeout 10 bash -c 'printf "%s\n" "${@:2}" >"$1"' - "$guest_monitor.in" "$@"
}

# guest_setup BUILD: the packages, then the kernel and initramfs of BUILD's
# programs under BUILD/guest (guest_dir).
guest_setup() {
  guest_dir=$1/guest
  guest_packages && mkdir -p "$guest_dir" && guest_parts "$1"
}

# guest_free_port: a port on this machine's loopback that nothing listens on.
guest_free_port() {
  local port
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}

# guest_wait SERIAL STEP SECONDS: 0 once the boot record has STEP, 1 when
# QEMU ended or SECONDS passed first.
guest_wait() {
  local serial=$1 step=$2 tenths=$(($3 * 10)) i
  for ((i = 0; i < tenths; i++)); do
    if [ -n "$guest_monitor" ] && grep -q "^vorna-boot [0-9.]* seedcfg" "$serial" 2>/dev/null; then
      guest_command 'set_link meta0 off' 'set_link net0 on'
      guest_monitor=
    fi
    grep -q "^vorna-boot [0-9.]* $step" "$serial" 2>/dev/null && return 0
    kill -0 "$guest_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

guest_stop() {
  local i
  [ -n "$guest_pid" ] || return 0
  kill -TERM "$guest_pid" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    kill -0 "$guest_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$guest_pid" 2>/dev/null || true
  wait "$guest_pid" 2>/dev/null || true
  guest_pid=
}
