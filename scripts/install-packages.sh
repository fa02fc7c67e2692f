#!/usr/bin/env bash
# Installs the named Debian packages that are missing: with apt-get when run as root, otherwise
# it prints the exact apt-get line and fails. Sourced by the scripts that need packages.
#
#   install_packages package...
install_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    else
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}
