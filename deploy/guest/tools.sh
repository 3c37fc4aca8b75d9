# The guest's own tools (bash, sourced by deploy/guest/lib.sh):
#
#   guest_add_tools BUILD ROOT   /bin/service, /bin/setup and /bin/ip, the
#                                service runner from the build tree BUILD as
#                                /usr/sbin/logrun, and the package store
#                                under ROOT/usr/share/setup
#   guest_tools_packages         the host packages that takes
#
# The store is built from deploy/guest/packages/NAME/VERSION/, each a tree
# of the files the package puts into the guest's root: one archive
# NAME-VERSION.tar.gz per version (busybox's tar, as the guest reads
# them), "index" with the newest version of each package, "preinstalled"
# (what a first boot installs) and "system", the versions of the guest's
# own packages that come with the image.

guest_tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

guest_tools_packages() {
  echo busybox-static
}

# The Debian version of the package that holds FILE on this machine.
guest_tools_version_of() {
  local package
  package=$(dpkg -S "$1" 2>/dev/null | head -n 1 | cut -d: -f1)
  [ -n "$package" ] && dpkg-query -W -f '${Version}' "$package" 2>/dev/null || echo unknown
}

guest_add_tools() {
  local build=$1 root=$2 tool dir name version files store=$2/usr/share/setup
  mkdir -p "$root/bin" "$root/usr/sbin" "$store" || return 1
  for tool in service setup ip; do
    # ip replaces busybox's applet link of that name.
    rm -f "$root/bin/$tool"
    install -m 755 "$guest_tools_dir/tools/$tool" "$root/bin/$tool" || return 1
  done
  strip -o "$root/usr/sbin/logrun" "$build/servicelog/logrun" || return 1

  rm -f "$store"/*.tar.gz "$store/index"
  for dir in "$guest_tools_dir"/packages/*/*/; do
    dir=${dir%/}
    version=${dir##*/}
    name=${dir%/*}
    name=${name##*/}
    # Files and links only: unpacking makes the directories, and never
    # changes one that is already there.
    mapfile -t files < <(cd "$dir" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
    (cd "$dir" && busybox tar -czf "$store/$name-$version.tar.gz" --no-recursion "${files[@]}") ||
      { echo "guest: packing $name $version failed" >&2; return 1; }
  done
  for dir in "$guest_tools_dir"/packages/*/; do
    name=$(basename "$dir")
    version=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort -V | tail -n 1)
    echo "$name $version"
  done >"$store/index"
  cp "$guest_tools_dir/packages/preinstalled" "$store/preinstalled" || return 1
  {
    echo "dashwick $(git -C "$guest_tools_dir" describe --always --dirty 2>/dev/null || echo local)"
    echo "dropbear $(guest_tools_version_of /usr/sbin/dropbear)"
    echo "nginx $(guest_tools_version_of /usr/sbin/nginx)"
  } >"$store/system"
}
