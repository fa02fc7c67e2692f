#!/usr/bin/env bash
# Builds, tests and packages both releases: the Debian package from the Linux release build
# (checked with lintian, which must report no error and no warning) and the zip from the
# Windows build. Installs what it needs (when run as root with apt-get), like scripts/test.sh.
#
#   scripts/package.sh                  build/release/morvane_<version>_<arch>.deb and
#                                       build/windows/morvane-<version>-win64.zip
#   scripts/package.sh --install-check  also installs the .deb with dpkg (as root), checks
#                                       `man morvane` and `morvane --help`, and removes it again
set -euo pipefail
cd "$(dirname "$0")/.."

install_check=false
case "${1:-}" in
"") ;;
--install-check) install_check=true ;;
*)
    echo "usage: scripts/package.sh [--install-check]" >&2
    exit 2
    ;;
esac

. scripts/install-packages.sh
install_packages cmake ninja-build g++ libgtest-dev libxxhash-dev g++-mingw-w64-x86-64 wine64 groff-base dpkg-dev \
    file fakeroot lintian man-db unzip

# The manual page's and the changelog's dates and the archives' file times come from the last
# commit, so packaging the same commit twice gives the same files.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH

cmake --workflow --preset package-deb
cmake --workflow --preset package-windows

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/release/CPackConfig.cmake)
deb=build/release/morvane_${version}_$(dpkg --print-architecture).deb
zip=build/windows/morvane-${version}-win64.zip

echo
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo
echo "== lintian $deb"
# Pedantic and informational tags are shown too; only errors and warnings fail the run.
lintian --display-info --pedantic --fail-on error,warning "$deb"
echo "lintian: no error, no warning"

# The packaged manual page and program work from an unpacked copy.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"
MANPAGER=cat MANWIDTH=80 man -l "$unpacked/usr/share/man/man1/morvane.1.gz" | sed -n 1,8p
"$unpacked/usr/bin/morvane" --help | sed -n 1p

echo
echo "== $zip"
unzip -l "$zip"

if $install_check; then
    echo
    echo "== dpkg --install $deb"
    if [ "$(id -u)" != 0 ]; then
        echo "--install-check needs root" >&2
        exit 1
    fi
    if dpkg-query -W -f='${Status}' morvane 2>/dev/null | grep -q 'install ok installed'; then
        echo "morvane is already installed; not touching it" >&2
        exit 1
    fi
    dpkg --install "$deb"
    status=0
    MANPAGER=cat MANWIDTH=80 man morvane | sed -n '1,/^SYNOPSIS/p' || status=1
    [ "$(command -v morvane)" = /usr/bin/morvane ] || status=1
    morvane --help | sed -n 1p || status=1
    dpkg --purge morvane
    [ $status = 0 ] || {
        echo "the installed package does not work" >&2
        exit 1
    }
    echo "installed, checked and removed again"
fi
