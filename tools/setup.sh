#!/usr/bin/env bash
# Installs what building and testing the launcher needs, where it is missing,
# and any further Debian packages named as arguments.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

packages=(cmake make g++ qtbase5-dev time libbenchmark-dev "$@")
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
apt_update
apt_install "${missing[@]}"
