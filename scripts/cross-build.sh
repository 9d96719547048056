#!/bin/sh
# Cross-builds pondrel and its Debian package for 64-bit ARM (arm64) on a
# Debian amd64 machine, into build-arm64/, and checks what came out. Needs
# root: it enables the arm64 architecture in dpkg and installs the cross
# compiler and the target's libnl-3 with apt-get.
set -eu
cd "$(dirname "$0")/.."
dpkg --add-architecture arm64
sh scripts/deps.sh crossbuild-essential-arm64 libnl-3-dev:arm64
cmake -S . -B build-arm64 -G Ninja -DPONDREL_TESTS=OFF \
	-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake >/dev/null
cmake --build build-arm64 -j 2
(cd build-arm64 && cpack -G DEB >/dev/null)

deb=$(ls build-arm64/pondrel_*_arm64.deb)
aarch64-linux-gnu-readelf -h build-arm64/pondrel | grep -q 'Machine:.*AArch64' ||
	{ echo "build-arm64/pondrel is not an AArch64 binary" >&2; exit 1; }
needed=$(aarch64-linux-gnu-readelf -d build-arm64/pondrel | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 libnl-3.so.200 " ] ||
	{ echo "build-arm64/pondrel needs: $needed" >&2; exit 1; }
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] ||
	{ echo "$deb is not marked arm64" >&2; exit 1; }
echo "cross build: $deb, Depends: $(dpkg-deb -f "$deb" Depends)"
