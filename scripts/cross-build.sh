#!/bin/sh
# Cross-builds the Debian package for 64-bit ARM (arm64) on a Debian amd64
# machine, Debian's way (dpkg-buildpackage -a arm64 through
# scripts/deb-build.sh, lintian included), and checks what came out: an
# AArch64 binary that needs only libc and libnl-3, in a package marked
# arm64. Needs root: it enables the arm64 architecture in dpkg and installs
# the cross compiler and the target's libnl-3 and pkg-config with apt-get.
set -eu
cd "$(dirname "$0")/.."
dpkg --add-architecture arm64
sh scripts/deps.sh crossbuild-essential-arm64 libnl-3-dev:arm64 pkgconf:arm64
sh scripts/deb-build.sh arm64
deb=build-deb/pondrel_$(dpkg-parsechangelog -S Version)_arm64.deb

fail() {
	echo "cross build: $*" >&2
	exit 1
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
bin=$tmp/usr/sbin/pondrel
aarch64-linux-gnu-readelf -h "$bin" | grep -q 'Machine:.*AArch64' ||
	fail "usr/sbin/pondrel in $deb is not an AArch64 binary"
# On arm64 the stack protector's guard value lives in the dynamic loader,
# so the hardened binary names the loader, which libc6 ships, as well.
needed=$(aarch64-linux-gnu-readelf -d "$bin" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$needed" = "ld-linux-aarch64.so.1 libc.so.6 libnl-3.so.200 " ] ||
	fail "usr/sbin/pondrel needs: $needed"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "$deb is not marked arm64"
echo "cross build: $deb, Depends: $(dpkg-deb -f "$deb" Depends)"
