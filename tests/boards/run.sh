#!/bin/sh
# Proves each board's static pondrel on a real kernel of its architecture:
# boots Debian's own kernel for it under full-system emulation, with an
# initramfs holding init.sh beside this file, busybox, the target's tc, ip
# and their libraries, the kernel's modules and the binary, and fails unless
# that init reached its end with every check passed. A kernel that does not
# boot, or a module that does not load, is a failure, never a skip.
# Usage: run.sh ARCH[=PONDREL]...   (ARCH: arm64 armhf mipsel s390x)
# PONDREL defaults to build-static-ARCH/pondrel in the checkout. Needs root
# and Debian's archive: it installs qemu and cross compilers, and fetches
# the target's packages into build-boards/cache, kept between runs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$top/build-boards
cache=$work/cache
if [ $# -eq 0 ]; then
	echo "usage: run.sh ARCH[=PONDREL]... (arm64 armhf mipsel s390x)" >&2
	exit 2
fi

# ARCH, kernel flavour, GNU triple, qemu package and program, console,
# memory in MiB, machine options: the recipes that boot each kernel.
board() {
	while read -r arch flavour triple qpkg qemu console mem machine; do
		[ "$arch" = "$1" ] && return 0
	done <<'EOF'
arm64 arm64 aarch64-linux-gnu qemu-system-arm qemu-system-aarch64 ttyAMA0 512 -M virt -cpu cortex-a53
armhf armmp arm-linux-gnueabihf qemu-system-arm qemu-system-arm ttyAMA0 512 -M virt -cpu cortex-a15
mipsel 4kc-malta mipsel-linux-gnu qemu-system-mips qemu-system-mipsel ttyS0 256 -M malta -vga none
s390x s390x s390x-linux-gnu qemu-system-misc qemu-system-s390x ttysclp0 512 -M s390-ccw-virtio
EOF
	echo "run.sh: unknown architecture $1" >&2
	exit 2
}
# What tc and ip need at run time, in the target's own build.
userland="busybox-static iproute2 libc6 libbpf1 libelf1 zlib1g libmnl0
	libbsd0 libmd0 libcap2 libxtables12"
modules="sch_tbf sch_ingress cls_basic act_police act_mirred ifb dummy nlmon"

# Leaves the candidate .deb of the kernel and the userland of each ARCH in
# the cache, downloading only those not there intact, and lists their paths,
# the kernel's first, in $work/ARCH.debs. Each apt call reads the package
# lists of every architecture, seconds each, so all boards share one.
fetch() { # ARCH...
	mkdir -p "$work"
	for a; do
		board "$a"
		echo "linux-image-$flavour:$a"
	done | xargs apt-cache show --no-all-versions |
		awk '/^Architecture:/ { a = $2 } /^Depends:/ { print a, $2 }' |
		tr -d , >"$work/kernels"
	for a; do
		k=$(awk -v a="$a" '$1 == a { print $2 }' "$work/kernels")
		[ -n "$k" ] || {
			echo "FAIL - no Debian kernel package for $a" >&2
			return 1
		}
		echo "$k:$a"
		for p in $userland; do
			echo "$p:$a"
		done
	done | xargs apt-get download --print-uris >"$work/uris"
	for a; do
		mkdir -p "$cache/$a"
		missing=
		: >"$work/$a.list"
		# A .deb is taken from the cache only if it has the archive's sum:
		# an interrupted download is fetched again.
		while read -r _ name _ sum; do
			case $name in
			*_"$a".deb) ;;
			*) continue ;;
			esac
			d=$cache/$a/$name
			echo "$d" >>"$work/$a.list"
			echo "${sum#SHA256:}  $d" | sha256sum -c --status 2>/dev/null || {
				rm -f "$d"
				missing="$missing ${name%%_*}:$a"
			}
		done <"$work/uris"
		{
			grep '/linux-image-' "$work/$a.list"
			grep -v '/linux-image-' "$work/$a.list"
		} >"$work/$a.debs"
		[ "$(wc -l <"$work/$a.debs")" -eq "$(echo "x $userland" | wc -w)" ] || {
			echo "FAIL - not every package for $a is in Debian's archive" >&2
			return 1
		}
		# shellcheck disable=SC2086
		[ -z "$missing" ] || (cd "$cache/$a" &&
			apt-get -o APT::Sandbox::User=root -qq download $missing)
	done
}

# The kernel's image and the wanted modules with those they depend on,
# unpacked once per kernel package into $w/kernel.
unpack_kernel() { # DEB
	if [ "$(cat "$w/kernel/from" 2>/dev/null)" = "$1" ]; then
		return 0
	fi
	rm -rf "$w/kernel"
	mkdir -p "$w/kernel"
	dpkg-deb --fsys-tarfile "$1" | tar -t >"$w/kernel/list"
	want=$modules
	order=
	while [ -n "$want" ]; do
		paths=
		for m in $want; do
			p=$(grep "/$m\.ko$" "$w/kernel/list" | head -n 1)
			[ -n "$p" ] || {
				echo "FAIL - the kernel package has no module $m" >&2
				return 1
			}
			paths="$paths $p"
		done
		# shellcheck disable=SC2086
		dpkg-deb --fsys-tarfile "$1" | tar -x -C "$w/kernel" --wildcards \
			'./boot/vmlinu*' $paths
		next=
		for m in $want; do
			order="$m $order"
			f=$(find "$w/kernel/lib" -name "$m.ko")
			for d in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr ',' ' '); do
				case " $order $next " in
				*" $d "*) ;;
				*) next="$next $d" ;;
				esac
			done
		done
		want=$next
	done
	# Dependencies were found last, so they are loaded first; one that two
	# modules share stays at its first place.
	# shellcheck disable=SC2086 # one module a line
	printf '%s\n' $order | awk '!seen[$0]++' >"$w/kernel/order"
	echo "$1" >"$w/kernel/from"
}

# The file that a path in the target names, symbolic links followed inside
# the unpacked packages: an absolute link must not reach the build machine.
target_file() { # PATH-IN-TARGET
	t=$1
	while [ -L "$w/sys$t" ]; do
		l=$(readlink "$w/sys$t")
		case $l in
		/*) t=$l ;;
		*) t=$(dirname "$t")/$l ;;
		esac
	done
	echo "$w/sys$t"
}

# Copies FILE from the unpacked packages into the initramfs at its own path
# and, in turn, its loader and every shared library it needs.
install_elf() { # PATH-IN-TARGET
	[ -e "$w/root$1" ] && return 0
	f=$(target_file "$1")
	[ -f "$f" ] || {
		echo "FAIL - $1 is in none of the target's packages" >&2
		return 1
	}
	mkdir -p "$w/root$(dirname "$1")"
	cp "$f" "$w/root$1"
	interp=$(readelf -l "$f" | sed -n 's/.*interpreter: \(.*\)\]$/\1/p')
	needed=$(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
	# The names are taken before recursing: these variables are global.
	for so in $needed; do
		lib=$(cd "$w/sys" && find lib usr/lib -name "$so" | head -n 1)
		[ -n "$lib" ] || {
			echo "FAIL - $1 needs $so, in none of: $userland" >&2
			return 1
		}
		install_elf "/$lib"
	done
	[ -z "$interp" ] || install_elf "$interp"
}

# The nlmon capture, cross-built from the user-mode suite's own source, so
# it compares the wire with the unit tests' images in this target's order.
build_wire_check() {
	src="$top/tests/uml/wire_check.cpp $top/tests/shaping/images.cpp"
	# shellcheck disable=SC2086
	if [ ! -e "$w/wire_check" ] || [ -n "$(find $src \
		"$top/tests/shaping/images.h" -newer "$w/wire_check")" ]; then
		# shellcheck disable=SC2086
		"$triple-g++" -std=c++17 -O2 -Wall -Wextra \
			-ffp-contract=off -static -I"$top" $src -o "$w/wire_check"
	fi
}

prepare() { # ARCH PONDREL
	w=$work/$1
	mkdir -p "$w"
	[ -x "$2" ] || {
		echo "FAIL - no static pondrel for $1 at $2;" \
			"sh scripts/static-build.sh $1 builds it" >&2
		return 1
	}
	debs=$(cat "$work/$1.debs")
	kdeb=$(head -n 1 "$work/$1.debs")
	unpack_kernel "$kdeb"
	rm -rf "$w/sys" "$w/root"
	for d in $debs; do
		[ "$d" = "$kdeb" ] || dpkg-deb -x "$d" "$w/sys"
	done
	mkdir -p "$w/root/bin" "$w/root/dev" "$w/root/modules"
	cp "$w/sys/bin/busybox" "$w/root/bin/"
	ln -s busybox "$w/root/bin/sh"
	install_elf /sbin/tc
	install_elf /sbin/ip
	while read -r m; do
		cp "$(find "$w/kernel/lib" -name "$m.ko")" "$w/root/modules/"
	done <"$w/kernel/order"
	cp "$w/kernel/order" "$w/root/modules/order"
	build_wire_check
	cp "$w/wire_check" "$w/root/wire_check"
	cp "$2" "$w/root/pondrel"
	cp "$top/tests/common/checks.sh" "$w/root/checks.sh"
	cp "$here/init.sh" "$w/root/init"
	chmod 755 "$w/root/init" "$w/root/pondrel"
	mknod "$w/root/dev/console" c 5 1
	(cd "$w/root" && find . | cpio -o -H newc -R 0:0 --quiet) |
		gzip -1 >"$w/initrd.gz"
}

boot() { # ARCH
	status=0
	start=$(date +%s.%N)
	# shellcheck disable=SC2086 # the machine options are words
	timeout -k 5 150 "$qemu" $machine -m "$mem" -nographic -monitor none \
		-no-reboot -nic none -kernel "$(ls "$w"/kernel/boot/vmlinu*)" \
		-initrd "$w/initrd.gz" -append "console=$console panic=-1 quiet" \
		</dev/null >"$w/console.raw" 2>&1 || status=$?
	tr -d '\r' <"$w/console.raw" >"$w/console"
	secs=$(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }")
	if grep -q '^pondrel-board: ' "$w/console"; then
		sed -n '/^pondrel-board: /,$p' "$w/console"
	else
		tail -n 40 "$w/console"
	fi
	if ! grep -q '^pondrel-board: end of suite' "$w/console"; then
		echo "FAIL - $1: the kernel did not run the suite to its end" \
			"(status $status, $secs s); see $w/console"
		return 1
	fi
	echo "$1: booted, checked and powered off in $secs s"
	grep -q '^pondrel-board: end of suite, 0 failed' "$w/console"
}

# One board per process: set -e holds in each, and a failing board does not
# keep the others from being tried.
if [ "$1" = --one ]; then
	board "$2"
	echo "== $2: $qemu $machine, $3"
	prepare "$2" "$3"
	boot "$2"
	exit 0
fi
needs=cpio
for a; do
	board "${a%%=*}"
	dpkg --add-architecture "$arch"
	needs="$needs $qpkg g++-$triple"
done
# shellcheck disable=SC2086 # one word per package
sh "$top/scripts/deps.sh" $needs
# shellcheck disable=SC2046
fetch $(for a; do echo "${a%%=*}"; done)
failed=
for a; do
	arch=${a%%=*}
	bin=$top/build-static-$arch/pondrel
	[ "$a" = "$arch" ] || bin=${a#*=}
	sh "$0" --one "$arch" "$(realpath -m "$bin")" || failed="$failed $arch"
done
if [ -n "$failed" ]; then
	echo "FAIL - boards:$failed" >&2
	exit 1
fi
