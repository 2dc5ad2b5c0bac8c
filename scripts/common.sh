# Shared by scripts/test and scripts/demo (sourced): the Debian packages they
# need, and the namespaces in which a normal user runs them.

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
         "apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "== installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# enter_private_namespaces SCRIPT ARGUMENTS...: for a normal user, runs SCRIPT
# again as root of user, mount and network namespaces of its own (unshare -rmn).
# There the tests may mount a private /etc/hosts and listen on port 443 of the
# loopback interface, which has to be brought up, and a private /tmp keeps
# Wine's and X's sockets apart from those of other users. Nothing outside
# changes. As root, does nothing. Stops in one line when the machine refuses
# unprivileged namespaces.
enter_private_namespaces() {
  [ "$(id -u)" -eq 0 ] && return 0
  if ! unshare --user --map-root-user --mount --net true 2>/dev/null; then
    echo "$(basename "$1"): as a normal user this needs unprivileged user namespaces" \
         "(unshare -rmn), which this machine refuses; run it as root or allow them" \
         "(sysctl user.max_user_namespaces)" >&2
    exit 1
  fi
  exec unshare --user --map-root-user --mount --net -- \
    bash -c 'ip link set lo up && mount -t tmpfs tmpfs /tmp && exec "$0" "$@"' "$@"
}
