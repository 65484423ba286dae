# Sourced by the project's commands: install_missing PACKAGE... installs the
# Debian packages of the list that are not installed yet (as root; anyone
# else is told which are missing, and the command stops). Two commands of
# the project started side by side take turns rather than fail on apt's lock.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
  (
    flock 9
    apt-get -o DPkg::Lock::Timeout=600 update -q
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
  ) 9>/var/lock/holm-packages.lock
}
