# Shared by scripts/test and scripts/demo (sourced): the Debian packages they
# need, and the namespaces in which a normal user runs them.

# Every Debian package that the build, the tests and the demo use, named once.
lumaret_packages=(cmake g++ make ninja-build libgtest-dev g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 wine xvfb xauth xdotool x11-utils imagemagick microsocks dante-server curl openssl python3
  clang-14 libclang-rt-14-dev clang-format-14 iproute2 util-linux)

# ensure_packages PACKAGE...: as root, installs those that are missing; as a
# normal user, names them in one line and stops, since only root may install.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): missing Debian packages, which only root can install:" \
         "sudo ./scripts/test --install-only (or apt-get install --no-install-recommends" \
         "${missing[*]})" >&2
    exit 1
  fi
  echo "== installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# enter_private_namespaces SCRIPT ARGUMENTS...: for a normal user, runs SCRIPT
# (a path from the checkout's top, the current folder) again as root of user,
# mount and network namespaces of its own (unshare -rmn). There the tests may
# mount a private /etc/hosts and listen on port 443 of the loopback interface,
# which has to be brought up, and a private /tmp keeps Wine's and X's sockets
# apart from those of other users. Nothing outside changes. As root, does
# nothing. Stops in one line when the machine refuses unprivileged namespaces.
#
# The private /tmp would hide a checkout under /tmp (where a fresh clone often
# goes), so the checkout is mounted back at its own path inside it. Wine's
# socket folder cannot be given a private mount of its own instead: as root
# of the namespace Wine uses /tmp/.wine-0, and creating that as a mount point
# in the real /tmp would leave a folder that root's own Wine then refuses.
enter_private_namespaces() {
  [ "$(id -u)" -eq 0 ] && return 0
  if ! unshare --user --map-root-user --mount --net true 2>/dev/null; then
    echo "$(basename "$1"): as a normal user this needs unprivileged user namespaces" \
         "(unshare -rmn), which this machine refuses; run it as root or allow them" \
         "(sysctl user.max_user_namespaces)" >&2
    exit 1
  fi
  local top
  top=$(pwd -P)
  # The bind's source is the current folder through /proc/self/cwd, which
  # still leads to the checkout after /tmp is covered; --no-canonicalize keeps
  # mount from turning it back into the path that the new /tmp hides.
  exec unshare --user --map-root-user --mount --net -- bash -c '
    set -e
    top=$1 script=$2
    shift 2
    ip link set lo up
    mount -t tmpfs tmpfs /tmp
    case "$top/" in
      /tmp/?*)
        mkdir -p "$top"
        mount --no-canonicalize --rbind /proc/self/cwd "$top"
        cd "$top" ;;
    esac
    exec "$top/$script" "$@"' enter_private_namespaces "$top" "$@"
}
