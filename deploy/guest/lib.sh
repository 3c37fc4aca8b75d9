# The VORNA guest on QEMU, shared by scripts/guest, its system test and its
# benchmark (bash, sourced). Everything is made under one work directory
# ($guest_dir, normally BUILD/guest) from Debian packages and the built
# programs; nothing is installed on this machine's /boot or /lib/modules.
#
#   guest_packages [PACKAGE...]     installs the host tools that are missing
#   guest_parts BUILD               kernel and initramfs for BUILD's programs
#   guest_drive iso|fat DOCS FILE   a configuration drive holding DOCS
#   guest_disk FILE                 a fresh persistent disk (ext4)
#   guest_image FILE                the guest as a bootable disk image
#   guest_start SERIAL DISK [DRIVE] starts QEMU, its pid in $guest_pid
#   guest_wait SERIAL STEP SECONDS  waits for a step of the boot record
#   guest_stop                      ends QEMU by its pid
#
# The guest's only network is QEMU's user-mode network with restrict=on and
# two explicit rules: the panel's HTTPS port forwarded from $guest_port on
# this machine's loopback, and (with $guest_metadata naming a directory)
# 169.254.169.254:80 answered by busybox's httpd serving that directory, one
# process per connection. No packet leaves this machine.

guest_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$guest_top/scripts/lib.sh"  # need_packages
guest_mac=$(sed -n 's/.*"ethernet_mac_address": *"\([^"]*\)".*/\1/p' \
  "$guest_top/deploy/guest/metadata/openstack/latest/network_data.json" | head -n 1)
guest_address=169.254.0.15  # the guest's link-local address on QEMU's network
guest_port=${guest_port:-8443}
guest_metadata=${guest_metadata:-}
guest_disk_options=${guest_disk_options:-}  # more -drive options for the persistent disk
guest_pid=

# guest_packages [PACKAGE...]: those and the guest's own, when missing.
guest_packages() {
  need_packages qemu-system-x86 busybox-static genisoimage dosfstools mtools syslinux \
    syslinux-common qemu-utils fdisk e2fsprogs nginx openssl curl binutils util-linux "$@"
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
    "$guest_root"/etc/{cloud,nginx,ssl/certs,ssl/private} "$guest_root"/usr/{sbin,share/dashwick} "$guest_root"/var/{log,lib}
  cp /bin/busybox "$guest_root/bin/busybox"
  for applet in service setup ip; do cp "$guest_top/examples/tools/$applet" "$guest_root/bin/$applet"; done
  for applet in $(busybox --list); do
    [ -e "$guest_root/bin/$applet" ] || ln -s busybox "$guest_root/bin/$applet"
  done
  strip -o "$guest_root/usr/sbin/seedcfg" "$build/agent/seedcfg"
  strip -o "$guest_root/usr/sbin/dashwick" "$build/panel/dashwick"
  cp /usr/sbin/nginx "$guest_root/usr/sbin/nginx"
  cp /sbin/e2fsck "$guest_root/usr/sbin/e2fsck"
  guest_add_programs "$guest_root/usr/sbin/seedcfg" "$guest_root/usr/sbin/dashwick" /usr/sbin/nginx /sbin/e2fsck
  cp "$guest_top"/panel/assets/* "$guest_root/usr/share/dashwick/" 2>/dev/null || true
  # ext4 and its journal are built into Debian's cloud kernel.
  for module in virtio_pci virtio_blk virtio_net isofs vfat nls_cp437 nls_ascii nls_utf8; do
    guest_add_module "$module" || return 1
  done
  cp "$guest_top/deploy/guest/init" "$guest_root/init"
  chmod 755 "$guest_root/init" "$guest_root"/bin/{service,setup,ip}
  echo "$port" >"$guest_root/etc/dashwick.port"
  printf 'root:x:0:0:root:/root:/bin/sh\nwww-data:x:33:33:www-data:/var/www:/bin/false\n' >"$guest_root/etc/passwd"
  printf 'root:x:0:\nwww-data:x:33:\n' >"$guest_root/etc/group"
  printf 'root:*:19700:0:99999:7:::\nwww-data:*:19700:0:99999:7:::\n' >"$guest_root/etc/shadow"
  chmod 600 "$guest_root/etc/shadow"
  chmod 700 "$guest_root/root" "$guest_root/etc/ssl/private"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj "/CN=vorna-guest" -addext "subjectAltName=IP:127.0.0.1" \
    -keyout "$guest_root/etc/ssl/private/dashwick.key" -out "$guest_root/etc/ssl/certs/dashwick.pem" 2>/dev/null
  cp "$guest_top/deploy/nginx/dashwick.conf" "$guest_root/etc/nginx/dashwick.conf"
  cat >"$guest_root/etc/nginx/nginx.conf" <<'EOF'
user www-data;
worker_processes 1;
pid /run/nginx.pid;
events { worker_connections 256; }
http {
    client_body_temp_path /run/nginx/client_body;
    proxy_temp_path /run/nginx/proxy;
    fastcgi_temp_path /run/nginx/fastcgi;
    uwsgi_temp_path /run/nginx/uwsgi;
    scgi_temp_path /run/nginx/scgi;
    access_log off;
    include /etc/nginx/dashwick.conf;
}
EOF
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
# given, is the configuration drive, attached after it.
guest_start() {
  local serial=$1 disk=$2 drive=${3:-} extra=${4:-}
  local net="user,id=net0,restrict=on,net=169.254.0.0/16,host=169.254.169.2"
  net+=",dhcpstart=$guest_address,hostfwd=tcp:127.0.0.1:$guest_port-$guest_address:443"
  [ -z "$guest_metadata" ] ||
    net+=",guestfwd=tcp:169.254.169.254:80-cmd:busybox httpd -i -h $guest_metadata"
  local args=(-nodefaults -no-user-config -accel tcg -m 256 -smp 1 -display none
              -serial "file:$serial" -no-reboot -netdev "$net"
              -device "virtio-net-pci,netdev=net0,mac=$guest_mac")
  local format=raw
  case $disk in *.qcow2) format=qcow2 ;; esac
  args+=(-drive "file=$disk,if=virtio,format=$format${guest_disk_options:+,$guest_disk_options}")
  [ -z "$drive" ] || args+=(-drive "file=$drive,if=virtio,format=raw,readonly=on")
  [ -n "${guest_boot_image:-}" ] || args+=(-kernel "$guest_dir/vmlinuz" -initrd "$guest_dir/initrd.img"
    -append "console=ttyS0 quiet panic=-1 vorna.persist=/dev/vda $extra")
  : >"$serial"
  # QEMU gets SIGKILL should this shell end without stopping it (a test
  # killed on its time-out).
  setpriv --pdeathsig KILL qemu-system-x86_64 "${args[@]}" </dev/null >>"$serial.qemu" 2>&1 &
  guest_pid=$!
}

# guest_wait SERIAL STEP SECONDS: 0 once the boot record has STEP, 1 when
# QEMU ended or SECONDS passed first.
guest_wait() {
  local serial=$1 step=$2 tenths=$(($3 * 10)) i
  for ((i = 0; i < tenths; i++)); do
    grep -q "^vorna-boot [0-9.]* $step" "$serial" 2>/dev/null && return 0
    kill -0 "$guest_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

guest_stop() {
  [ -n "$guest_pid" ] || return 0
  kill -TERM "$guest_pid" 2>/dev/null || true
  wait "$guest_pid" 2>/dev/null || true
  guest_pid=
}
