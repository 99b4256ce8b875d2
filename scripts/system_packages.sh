# Sourced by the scripts: install_debian_packages PKG... installs Debian
# packages when running as root with apt-get, else asks the user to.
install_debian_packages() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get install -y -q "$@" >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q "$@" >/dev/null; }
  else
    echo "please install: $*" >&2
    exit 1
  fi
}
