# Sourced by the scripts of scripts/ and bench/: the packages a script needs,
# the configure-and-build of a tree, and the stage lines that tell a person
# where a long run is.

# stage TEXT: "== [mm:ss] TEXT", the time since the script began.
stage() {
  printf '== [%02d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"
}

# need_packages PACKAGE...: installs those of the Debian packages that are
# missing, waiting up to five minutes for another apt-get to let go of the
# lock. 1 after a message when they cannot be installed.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null &&
    apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${missing[@]}" >/dev/null || {
      echo "could not install: ${missing[*]}" >&2; return 1; }
}

# build_tree SOURCE BUILD [CMAKE OPTION...] [-- TARGET...]: configures SOURCE
# into BUILD and builds the targets named (everything without any), with
# the logs in BUILD.configure.log and BUILD.build.log. 1 after showing the
# configure log or the build's error lines when either fails. With
# BUILD_PROGRESS set, a line for every tenth of the build as cmake counts it.
build_tree() {
  local source=$1 dir=$2 options=() targets=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  mkdir -p "$(dirname "$dir")"
  cmake -S "$source" -B "$dir" "${options[@]}" >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log" >&2; return 1; }
  local build=(cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)")
  [ ${#targets[@]} -gt 0 ] && build+=(--target "${targets[@]}")
  "${build[@]}" 2>&1 | tee "$dir.build.log" | build_progress "$dir"
  [ "${PIPESTATUS[0]}" = 0 ] || {
    grep -E 'error|Error' "$dir.build.log" | head -40 >&2; return 1; }
}

# Reads cmake's build output; with BUILD_PROGRESS set prints "   [mm:ss] DIR
# NN%" each time its "[ NN%]" count reaches another tenth.
build_progress() {
  local line shown=0 percent
  while IFS= read -r line; do
    [ -n "${BUILD_PROGRESS:-}" ] || continue
    [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
    percent=${BASH_REMATCH[1]}
    [ $((percent / 10)) -gt "$shown" ] || continue
    shown=$((percent / 10))
    printf '   [%02d:%02d] %s %d%%\n' $((SECONDS / 60)) $((SECONDS % 60)) "$1" "$percent"
  done
}

# nginx_certificate KEY CERT NAME DAYS: a throw-away self-signed certificate
# (P-256) for NAME, valid for 127.0.0.1, where the panel is reached here.
nginx_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days "$4" \
    -subj "/CN=$3" -addext "subjectAltName=IP:127.0.0.1" -keyout "$1" -out "$2" 2>/dev/null
}

# nginx_conf TEMP PID ACCESS_LOG INCLUDE [LINE...]: the nginx.conf around
# deploy/nginx/dashwick.conf (copied to INCLUDE): one worker as www-data,
# temporary files under TEMP, ACCESS_LOG a path or "off"; each LINE (a
# main-context directive such as "daemon off;") comes first.
nginx_conf() {
  local temp=$1 pid=$2 access=$3 include=$4
  shift 4
  [ $# = 0 ] || printf '%s\n' "$@"
  cat <<CONF
user www-data;
worker_processes 1;
pid $pid;
events { worker_connections 256; }
http {
    client_body_temp_path $temp/client_body;
    proxy_temp_path $temp/proxy;
    fastcgi_temp_path $temp/fastcgi;
    uwsgi_temp_path $temp/uwsgi;
    scgi_temp_path $temp/scgi;
    access_log $access;
    include $include;
}
CONF
}
