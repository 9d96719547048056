#!/bin/sh
# Installs what building and testing need on a fresh Debian machine.
# Extra package names may be passed; everything goes in one apt-get run,
# and none at all when every package is installed already: a stage run
# beside another must not take dpkg's lock from under it.
set -eu
if [ "$(id -u)" -ne 0 ]; then
	echo "run as root: it installs packages and makes network namespaces" >&2
	exit 1
fi
set -- ca-certificates build-essential cmake ninja-build g++ gcc pkg-config libnl-3-dev \
	mandoc groff-base man-db dpkg-dev debhelper lintian \
	clang libclang-rt-14-dev valgrind \
	user-mode-linux busybox-static iperf3 \
	libgtest-dev libgmock-dev iproute2 util-linux systemd \
	udev ifupdown "$@"
for p; do
	dpkg-query -W -f '${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || break
	shift
done
[ $# -gt 0 ] || exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@" >/dev/null
