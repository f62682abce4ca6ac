# Sourced by the setup scripts: Debian's package tools as root (through sudo
# where the script isn't root), waiting for another install's lock instead of
# failing.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 "$@"
}
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
