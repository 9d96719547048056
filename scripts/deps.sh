#!/bin/sh
# Installs what building and testing need on a fresh Debian machine, or with
# --demo only what scripts/demo.sh needs: the tool's build without tests,
# tc, iperf3 and busybox's ping. Extra package names may be passed;
# everything goes in one apt-get run, and none at all when every package is
# installed already: a stage run beside another must not take dpkg's lock
# from under it.
set -eu
if [ "$(id -u)" -ne 0 ]; then
	echo "run as root: it installs packages and makes network namespaces" >&2
	exit 1
fi
if [ "${1:-}" = --demo ]; then
	shift
	set -- g++ gcc cmake ninja-build pkg-config libnl-3-dev \
		iproute2 iperf3 busybox-static "$@"
else
	set -- ca-certificates build-essential cmake ninja-build g++ gcc pkg-config libnl-3-dev \
		mandoc groff-base man-db dpkg-dev debhelper lintian \
		clang libclang-rt-14-dev valgrind \
		user-mode-linux patchelf busybox-static iperf3 \
		libgtest-dev libgmock-dev iproute2 util-linux systemd \
		udev ifupdown "$@"
fi
for p; do
	dpkg-query -W -f '${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || break
	shift
done
[ $# -gt 0 ] || exit 0
export DEBIAN_FRONTEND=noninteractive
sh "$(dirname "$0")/apt-update.sh"
# Without apt-utils, which a fresh machine may lack, debconf says so on
# every install; anything else apt-get says is shown.
err=$(mktemp)
st=0
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@" >/dev/null 2>"$err" || st=$?
grep -v '^debconf: delaying package configuration, since apt-utils is not installed' "$err" >&2 || :
rm -f "$err"
exit $st
