#!/bin/sh
# Builds one stripped, fully static pondrel per Debian architecture, for
# boards without libnl-3 or a package manager: musl's C library and the core
# of libnl-3, built from Debian's own libnl3 source package, linked in.
#   sh scripts/static-build.sh ARCH...    (amd64 arm64 armhf mipsel s390x)
#   sh scripts/static-build.sh --packages ARCH...   names the packages only
# Leaves build-static-ARCH/pondrel, build-static-ARCH/pondrel-auto (the
# controller of a rate range) and build-static-ARCH/pondrel-VERSION-ARCH.tar.gz
# (both binaries, manual page, licences). Runs on Debian 12; installs what is
# missing with apt-get (which needs root) and keeps libnl's build in
# build-static-ARCH/deps/, so that a second run neither fetches nor builds it.
set -eu
cd "$(dirname "$0")/.."
known="amd64 arm64 armhf mipsel s390x"
packages=
[ "${1:-}" != --packages ] || { packages=yes; shift; }
if [ $# -eq 0 ]; then
	echo "usage: sh scripts/static-build.sh ARCH... (one or more of: $known)" >&2
	exit 2
fi
for arch; do
	case " $known " in
	*" $arch "*) ;;
	*)
		echo "unknown ARCH '$arch'; this script builds: $known" >&2
		exit 2
		;;
	esac
done
# No unwind tables: nothing unwinds through libnl's C, and on amd64 they
# were the 772 bytes that took code and constants past the 64 KiB that
# one page fault maps.
libnl_cflags="-Os -fno-pie -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables"
version=$(sed -n 's/^project(pondrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
jobs=2

triplet() { # Debian's GNU triplet of an architecture
	case $1 in
	amd64) echo x86_64-linux-gnu ;;
	arm64) echo aarch64-linux-gnu ;;
	armhf) echo arm-linux-gnueabihf ;;
	mipsel) echo mipsel-linux-gnu ;;
	s390x) echo s390x-linux-gnu ;;
	esac
}
machine() { # what readelf -h says under Machine:
	case $1 in
	amd64) echo "Advanced Micro Devices X86-64" ;;
	arm64) echo AArch64 ;;
	armhf) echo ARM ;;
	mipsel) echo "MIPS R3000" ;;
	s390x) echo "IBM S/390" ;;
	esac
}

# Everything the requested architectures need, installed in one go.
pkgs="bison flex make cmake ninja-build pkg-config dpkg-dev xz-utils binutils"
for arch; do
	t=$(triplet "$arch")
	if [ "$arch" = amd64 ]; then
		pkgs="$pkgs musl-tools gcc g++"
	else
		pkgs="$pkgs musl-dev:$arch gcc-$t g++-$t linux-libc-dev-$arch-cross"
	fi
done
if [ -n "$packages" ]; then
	# shellcheck disable=SC2086 # one word per package
	echo $pkgs
	exit 0
fi
missing=
for p in $pkgs; do
	dpkg-query -W -f '${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' ||
		missing="$missing $p"
done
if [ -n "$missing" ]; then
	if [ "$(id -u)" -ne 0 ]; then
		echo "run as root to install:$missing" >&2
		exit 1
	fi
	for arch; do
		[ "$arch" = amd64 ] || dpkg --print-foreign-architectures | grep -qx "$arch" ||
			dpkg --add-architecture "$arch"
	done
	sh scripts/apt-update.sh
	unknown=
	for p in $missing; do
		apt-cache show "$p" >/dev/null 2>&1 || unknown="$unknown $p"
	done
	if [ -n "$unknown" ]; then
		echo "no such package in the machine's apt sources:$unknown" >&2
		exit 1
	fi
	# shellcheck disable=SC2086 # one word per package
	DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
		install -y -qq --no-install-recommends $missing >/dev/null ||
		{ echo "apt-get could not install:$missing" >&2; exit 1; }
fi

# The machine's own Debian entries, as source entries, in a file of our own:
# its apt configuration stays untouched.
deb_src() {
	for f in /etc/apt/sources.list.d/*.sources; do
		[ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" && echo
	done
	cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
		awk '$1 == "deb" { sub(/\[[^]]*\] */, ""); printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $2, $3
			for (i = 4; i <= NF; i++) printf " %s", $i; printf "\n\n" }'
}

# Fetches and builds libnl-3's core for one target into $deps/prefix.
build_libnl() { # triplet, specs file
	rm -rf "$deps/src" "$deps/build" "$deps/prefix" "$deps/lists" "$deps/done"
	mkdir -p "$deps/src" "$deps/build" "$deps/lists/partial"
	deb_src >"$deps/src/deb-src.sources"
	set -- "$1" "$2" -o DPkg::Lock::Timeout=600 \
		-o Dir::Etc::SourceList="$deps/src/deb-src.sources" \
		-o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$deps/lists" \
		-o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
	step "fetching Debian's libnl3 source"
	t=$1 specs=$2
	shift 2
	if ! { sh scripts/apt-update.sh "$@" &&
		(cd "$deps/src" && apt-get "$@" source -qq libnl3); } >"$deps/fetch.log" 2>&1; then
		cat "$deps/fetch.log" >&2
		return 1
	fi
	src=$(echo "$deps"/src/libnl3-*/configure)
	[ -f "$src" ] || { echo "apt-get source gave no libnl3 tree" >&2; return 1; }
	src=$(dirname "$src")
	step "configuring and building libnl-3's core"
	# Sections per function let the final link drop what pondrel never
	# calls; code for a fixed address suits a static program
	# (cmake/musl-static.cmake).
	(cd "$deps/build" && "$src/configure" --host="$t" --build="$(gcc -dumpmachine)" \
		--prefix="$deps/prefix" --disable-shared --enable-static --disable-debug \
		CC="$t-gcc -specs=$specs" \
		CFLAGS="$libnl_cflags -isystem $deps/uapi" LDFLAGS=-no-pie &&
		make -j$jobs lib/libnl-3.la &&
		make install-libLTLIBRARIES lib_LTLIBRARIES=lib/libnl-3.la \
			install-pkgconfigDATA pkgconfig_DATA=libnl-3.0.pc \
			install-libnlinclude_netlinkHEADERS) >"$deps/build.log" 2>&1 ||
		{ tail -n 30 "$deps/build.log" >&2; return 1; }
	sed -n 's/^Version: //p' "$deps"/src/libnl3_*.dsc >"$deps/version"
	cp "$src/COPYING" "$deps/COPYING"
	echo "$libnl_cflags" >"$deps/done"
}

current=
step() {
	current=$*
	echo "== $arch: $*"
}
failed() {
	st=$?
	[ $st -eq 0 ] && return
	echo "FAIL: static build for $arch stopped while $current;" \
		"no build-static-$arch/pondrel was left" >&2
	rm -f "$out/pondrel" "$out/pondrel-auto" "$out/pondrel-$version-$arch.tar.gz"
	exit $st
}
trap failed EXIT

for arch; do
	out=$PWD/build-static-$arch
	deps=$out/deps
	rm -f "$out/pondrel" "$out/pondrel-auto" "$out/pondrel-$version-$arch.tar.gz"
	t=$(triplet "$arch")
	specs=/usr/lib/$(echo "$t" | sed 's/-gnu/-musl/')/musl-gcc.specs

	step "linking the kernel's headers"
	if [ "$arch" = amd64 ]; then
		set -- /usr/include/linux "/usr/include/$t/asm" /usr/include/asm-generic
	else
		set -- "/usr/$t/include/linux" "/usr/$t/include/asm" "/usr/$t/include/asm-generic"
	fi
	mkdir -p "$deps/uapi"
	for d; do
		[ -d "$d" ] || { echo "$d is missing" >&2; exit 1; }
		ln -sfn "$d" "$deps/uapi/$(basename "$d")"
	done

	if [ "$(cat "$deps/done" 2>/dev/null)" = "$libnl_cflags" ]; then
		echo "== $arch: libnl3 $(cat "$deps/version") already built"
	else
		build_libnl "$t" "$specs"
	fi

	step "building pondrel"
	# Configured anew each time: CMake keeps a first run's flags.
	rm -rf "$out/cmake"
	cmake -S . -B "$out/cmake" -G Ninja --toolchain "$PWD/cmake/musl-static.cmake" \
		-DPONDREL_TESTS=OFF -DPONDREL_TRIPLET="$t" -DPONDREL_STATIC_DEPS="$deps" \
		>"$out/cmake.log" 2>&1 || { cat "$out/cmake.log" >&2; exit 1; }
	cmake --build "$out/cmake" -j $jobs --target pondrel pondrel-auto pondrel_strerror

	# 128 KiB for the one-shot call, mipsel's the largest (124 KiB); the
	# controller, a program of its own, may take 24 KiB more.
	for bin in "$out/cmake/pondrel" "$out/cmake/pondrel-auto"; do
		step "checking $(basename "$bin")"
		limit=131072
		[ "$bin" = "$out/cmake/pondrel" ] || limit=155648
		readelf -h "$bin" | grep -q "Machine: *$(machine "$arch")\$" ||
			{ echo "$bin is not built for $(machine "$arch")" >&2; exit 1; }
		if readelf -lW "$bin" | grep -q INTERP || readelf -d "$bin" | grep -q NEEDED; then
			echo "$bin is not fully static:" >&2
			readelf -lW "$bin" | grep INTERP >&2 || true
			readelf -d "$bin" | grep NEEDED >&2 || true
			exit 1
		fi
		STRIP=$t-strip NM=$t-nm sh tests/footprint.sh "$bin" $limit
	done
	bin=$out/cmake/pondrel

	step "packing"
	stage=$out/pondrel-$version-$arch
	rm -rf "$stage"
	mkdir "$stage"
	cp "$bin" "$bin-auto" "$stage/"
	cp man/pondrel.8 LICENSE "$stage/"
	{
		echo "pondrel contains the core of libnl-3, linked in statically:"
		echo "Debian's libnl3 source package, version $(cat "$deps/version"),"
		echo "built with its own build system for $t with musl."
		echo "pondrel's own source (MIT, see LICENSE) can be linked anew with"
		echo "a changed libnl-3; libnl's licence follows."
		echo
		cat "$deps/COPYING"
	} >"$stage/LICENSE.libnl"
	tar -C "$out" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
		-cf - "pondrel-$version-$arch" | gzip -9n >"$out/pondrel-$version-$arch.tar.gz.part"
	rm -rf "$stage"
	cp "$bin-auto" "$out/pondrel-auto"
	cp "$bin" "$out/pondrel.part"
	mv "$out/pondrel.part" "$out/pondrel"
	mv "$out/pondrel-$version-$arch.tar.gz.part" "$out/pondrel-$version-$arch.tar.gz"
	echo "== $arch: build-static-$arch/pondrel, $(wc -c <"$out/pondrel") bytes," \
		"libnl3 $(cat "$deps/version")"
done
