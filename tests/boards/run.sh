#!/bin/sh
# Proves each board's static pondrel on real kernels of its architecture:
# boots Debian's own kernel of one release's series for it under
# full-system emulation, with an initramfs holding init.sh beside this
# file, busybox, Debian 12's tc, ip and their libraries for the target, the
# kernel's modules and the binary, and fails unless that init reached its
# end with every check passed. A kernel that does not boot, a module that
# does not load or a kernel that the archive does not offer is a failure,
# never a skip.
# Usage: run.sh [--packages] ARCH[@SERIES][=PONDREL]...   or   run.sh [--packages] --ci
#   ARCH: arm64 armhf mipsel s390x; SERIES: bullseye (Linux 5.10),
#   bookworm (6.1, the default) or trixie (6.12); --ci boots every board
#   of the table below. PONDREL defaults to build-static-ARCH/pondrel.
#   --packages only names the machine's packages that those boards need.
# Needs root and Debian 12 with Debian's archive: it installs qemu and
# cross compilers, reads other releases' kernels from package lists of its
# own, and keeps the packages in build-boards/cache between runs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$top/build-boards
cache=$work/cache
mine=$(. /etc/os-release && echo "$VERSION_CODENAME")
packages=
[ "${1:-}" != --packages ] || { packages=yes; shift; }
if [ $# -eq 0 ]; then
	echo "usage: run.sh ARCH[@SERIES][=PONDREL]... | --ci" >&2
	exit 2
fi

# The boards that CI boots: every architecture on every kernel series that
# the archive reachable here offers for it, each with the archive's suites
# whose newest kernel it boots ("-": the machine's own apt sources, those
# the userland comes from). Not there, since the archive lacks them:
# mipsel and s390x on bullseye (Debian 11's long-term support covers only
# amd64, i386, arm64 and armhf), mipsel on trixie (no longer a Debian
# architecture) and s390x on trixie (its kernel is listed, but the file
# answers 404 Not Found). No bullseye-security either: it has no armhf
# index here, and its arm64 kernels are listed but answer 404 too, so
# 5.10 comes from bullseye itself. The slowest boot first: two boot at a
# time.
ci_boards() {
	cat <<'EOF'
armhf@trixie trixie trixie-updates trixie-security
arm64@trixie trixie trixie-updates trixie-security
s390x@bookworm -
mipsel@bookworm -
armhf@bookworm -
arm64@bookworm -
armhf@bullseye bullseye bullseye-updates
arm64@bullseye bullseye bullseye-updates
EOF
}

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
# What tc and ip need at run time, in the target's own build, from the
# machine's own release whatever the kernel: only kernel and modules change.
userland="busybox-static iproute2 libc6 libbpf1 libelf1 zlib1g libmnl0
	libbsd0 libmd0 libcap2 libxtables12"
# The modules that the checks need, one word each; those they depend on come
# along, and one that a kernel has built in is not loaded: sch_fq_codel is
# a module on 5.10 and built in from 6.1.
modules="sch_tbf sch_ingress cls_basic act_police act_mirred ifb dummy nlmon
	sch_fq_codel veth sch_cake"

# The archive's suites whose newest kernel BOARD boots: the table's, else
# the series' own with its updates; "-" for the machine's own release.
suites() { # BOARD
	s=$(ci_boards | awk -v b="$1" '$1 == b { sub(/^[^ ]* /, ""); print; exit }')
	if [ -n "$s" ]; then
		echo "$s"
	elif [ "${1#*@}" = "$mine" ]; then
		echo -
	else
		echo "${1#*@} ${1#*@}-updates ${1#*@}-security"
	fi
}

# "SUITE URI KEYRING" for each suite of the machine's own apt sources of
# binary packages, one-line or deb822 ("-": no keyring named).
machine_suites() {
	cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
		awk '$1 == "deb" { k = "-"
			if ($2 ~ /^\[/) { if (match($0, /signed-by=[^] ]*/))
				k = substr($0, RSTART + 10, RLENGTH - 10)
				sub(/^[^]]*\] */, ""); print $2, $1, k } else print $3, $2, k }'
	for f in /etc/apt/sources.list.d/*.sources; do
		[ -f "$f" ] && cat "$f" && echo
	done | awk 'BEGIN { RS = ""; FS = "\n" } {
		t = u = s = ""; k = "-"
		for (i = 1; i <= NF; i++) {
			if ($i ~ /^Types:/) t = $i " "
			else if ($i ~ /^URIs:/) { u = $i; sub(/^URIs: */, "", u) }
			else if ($i ~ /^Suites:/) { s = $i; sub(/^Suites: */, "", s) }
			else if ($i ~ /^Signed-By: *\//) { k = $i; sub(/^Signed-By: */, "", k) }
		}
		if (t !~ / deb /) next
		split(u, uri, " "); n = split(s, suite, " ")
		for (j = 1; j <= n; j++) print suite[j], uri[1], k }'
}

# Leaves in $work/apt/BOARD/opts the apt options that read the board's
# suites (see suites) for its architecture alone, from package lists of its
# own at the machine's own archive addresses, and brings those lists up to
# date: the machine's apt configuration stays untouched. The file is empty
# for a board of the machine's own release.
board_apt() { # BOARD
	d=$work/apt/$1
	mkdir -p "$d/lists/partial"
	rm -f "$d/read"
	: >"$d/opts"
	: >"$d/kernel.sources"
	# shellcheck disable=SC2046 # one suite a word
	set -- "$1" $(suites "$1")
	[ "$2" != - ] || { touch "$d/read"; return 0; }
	b=$1
	shift
	for s; do
		# bullseye-security is at the address that bookworm-security is at.
		m=$mine${s#"${b#*@}"}
		a=$(machine_suites | awk -v s="$m" '$1 == s { print $2, $3; exit }')
		[ -n "$a" ] || {
			echo "FAIL - $b: the machine's apt sources have no $m, whose address $s is at" >&2
			return 1
		}
		printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nArchitectures: %s\n' \
			"${a% *}" "$s" "${b%@*}" >>"$d/kernel.sources"
		[ "${a#* }" = - ] || echo "Signed-By: ${a#* }" >>"$d/kernel.sources"
		echo >>"$d/kernel.sources"
	done
	echo "-o Dir::Etc::SourceList=$d/kernel.sources -o Dir::Etc::SourceParts=/dev/null" \
		"-o Dir::State::Lists=$d/lists -o Dir::Cache::pkgcache=" \
		"-o Dir::Cache::srcpkgcache=" >"$d/opts"
	# A list that cannot be read is said here; a kernel or package that it
	# would have named fails at its download, in apt's words.
	# shellcheck disable=SC2046 # one option a word
	sh "$top/scripts/apt-update.sh" $(cat "$d/opts") 2>"$d/update.log" || {
		cat "$d/update.log" >&2
		return 1
	}
	[ ! -s "$d/update.log" ] || sed "s/^/$b: /" "$d/update.log" >&2
	touch "$d/read"
}

# Appends to FILE the cache's path of each "URI NAME SIZE SUM" line of
# LINES and downloads into the cache, with apt's options in OPTS, the
# packages not there with the archive's sum: an interrupted download is
# fetched again.
cached() { # ARCH LINES FILE OPTS
	mkdir -p "$cache/$1"
	missing=
	while read -r _ name _ sum; do
		d=$cache/$1/$name
		echo "$d" >>"$3"
		echo "${sum#SHA256:}  $d" | sha256sum -c --status 2>/dev/null || {
			rm -f "$d"
			missing="$missing ${name%%_*}:$1"
		}
	done <"$2"
	# shellcheck disable=SC2046,SC2086
	[ -z "$missing" ] || (cd "$cache/$1" && apt-get $(cat "$4") \
		-o APT::Sandbox::User=root -qq download $missing)
}

# Leaves in the cache, for each BOARD (ARCH@SERIES), the .deb of the newest
# kernel of its suites and those of its architecture's userland, lists
# their paths, the kernel's first, in $work/BOARD.debs and the board in
# $work/fetched; a board whose packages cannot all be had is told and left
# out of it, not the others. The machine's apt reads the package lists of
# every architecture, seconds a call, so the boards of the machine's
# release share its calls.
fetch() { # BOARD...
	: >"$work/kernels"
	: >"$work/machine"
	: >"$work/fetched"
	for b; do
		board "${b%@*}"
		board_apt "$b" || continue
		if [ -s "$work/apt/$b/opts" ]; then
			# shellcheck disable=SC2046
			apt-cache $(cat "$work/apt/$b/opts") show --no-all-versions \
				"linux-image-$flavour:${b%@*}" 2>/dev/null |
				sed -n "s/^Depends: \([^ ,]*\).*/$b \1/p" >>"$work/kernels"
		else
			echo "linux-image-$flavour:${b%@*}" >>"$work/machine"
		fi
	done
	[ ! -s "$work/machine" ] || xargs apt-cache show --no-all-versions <"$work/machine" |
		awk -v r="$mine" '/^Architecture:/ { a = $2 } /^Depends:/ { print a "@" r, $2 }' |
		tr -d , >>"$work/kernels"
	for b; do
		[ -s "$work/apt/$b/opts" ] || awk -v b="$b" \
			'$1 == b { sub(/@.*/, "", b); print $2 ":" b }' "$work/kernels"
		for p in $userland; do
			echo "$p:${b%@*}"
		done
	done | sort -u | xargs apt-get download --print-uris >"$work/uris"
	for b; do
		if fetch_board "$b"; then
			echo "$b" >>"$work/fetched"
		fi
	done
}

# fetch's work for one board, each step's failure told: set -e does not
# hold in a function whose status is tested.
fetch_board() { # BOARD
	a=${1%@*}
	opts=$work/apt/$1/opts
	[ -e "$work/apt/$1/read" ] || return 1
	k=$(awk -v b="$1" '$1 == b { print $2 }' "$work/kernels")
	[ -n "$k" ] || {
		echo "FAIL - no Debian kernel package for $1 in: $(suites "$1")" >&2
		return 1
	}
	# shellcheck disable=SC2046
	if [ -s "$opts" ]; then
		apt-get $(cat "$opts") download --print-uris "$k:$a"
	else
		grep " ${k}_[^ ]*_$a\.deb " "$work/uris"
	fi >"$work/$1.uri" || :
	for p in $userland; do
		grep " ${p}_[^ ]*_$a\.deb " "$work/uris" || :
	done >"$work/$1.userland"
	# shellcheck disable=SC2086 # one package a word
	[ "$(wc -l <"$work/$1.uri")" -eq 1 ] &&
		[ "$(wc -l <"$work/$1.userland")" -eq "$(echo $userland | wc -w)" ] || {
		echo "FAIL - not every package for $1 is in Debian's archive" >&2
		return 1
	}
	: >"$work/$1.debs"
	cached "$a" "$work/$1.uri" "$work/$1.debs" "$opts" &&
		cached "$a" "$work/$1.userland" "$work/$1.debs" /dev/null || {
		echo "FAIL - $1: the archive does not give its packages" >&2
		return 1
	}
}

# The kernel's image and the wanted modules with those they depend on,
# unpacked once per kernel package and module list into $w/kernel, each as
# a plain .ko that busybox's insmod loads: Debian 13's are compressed with
# xz, and under usr/lib/modules rather than lib/modules. A wanted module
# that this kernel has built in is left out of the load order.
unpack_kernel() { # DEB
	if [ "$(cat "$w/kernel/from" 2>/dev/null)" = "$1 $modules" ]; then
		return 0
	fi
	rm -rf "$w/kernel"
	mkdir -p "$w/kernel"
	dpkg-deb --fsys-tarfile "$1" | tar -t >"$w/kernel/list"
	# Each pass reads the whole package: the image and the list of built-in
	# modules come with the first round of modules.
	first=yes
	want=$modules
	order=
	while [ -n "$want" ]; do
		paths=
		absent=
		for m in $want; do
			p=$(grep "/$m\.ko\(\.xz\)\?$" "$w/kernel/list" | head -n 1)
			if [ -n "$p" ]; then
				paths="$paths $p"
			else
				absent="$absent $m"
			fi
		done
		# shellcheck disable=SC2086
		if [ -n "$first" ]; then
			dpkg-deb --fsys-tarfile "$1" | tar -x -C "$w/kernel" --wildcards \
				'./boot/vmlinu*' '*/modules.builtin' $paths
		elif [ -n "$paths" ]; then
			dpkg-deb --fsys-tarfile "$1" | tar -x -C "$w/kernel" $paths
		fi
		first=
		find "$w/kernel" -name '*.ko.xz' | while read -r f; do
			xz -dc "$f" >"${f%.xz}"
			rm "$f"
		done
		builtin=$(find "$w/kernel" -name modules.builtin)
		for m in $absent; do
			grep -q "/$m\.ko$" "$builtin" || {
				echo "FAIL - the kernel package has no module $m" >&2
				return 1
			}
		done
		next=
		for m in $want; do
			case " $absent " in *" $m "*) continue ;; esac
			order="$m $order"
			f=$(find "$w/kernel" -name "$m.ko")
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
	echo "$1 $modules" >"$w/kernel/from"
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
build_wire_check() { # ARCH
	src="$top/tests/uml/wire_check.cpp $top/tests/run/images.cpp"
	f=$work/wire_check-$1
	# shellcheck disable=SC2086
	if [ ! -e "$f" ] || [ -n "$(find $src \
		"$top/tests/run/images.h" -newer "$f")" ]; then
		# -Wno-psabi: armhf's note that GCC 7.1 changed how a vector
		# of structs with 64-bit fields is passed; all of it is built here.
		# shellcheck disable=SC2086
		"$triple-g++" -std=c++17 -O2 -Wall -Wextra -Wno-psabi \
			-ffp-contract=off -static -I"$top" $src -o "$f"
	fi
}

prepare() { # BOARD PONDREL
	w=$work/$1
	mkdir -p "$w"
	[ -x "$2" ] || {
		echo "FAIL - no static pondrel for $arch at $2;" \
			"sh scripts/static-build.sh $arch builds it" >&2
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
	cp "$(target_file /bin/busybox)" "$w/root/bin/"
	ln -s busybox "$w/root/bin/sh"
	install_elf /sbin/tc
	install_elf /sbin/ip
	while read -r m; do
		cp "$(find "$w/kernel" -name "$m.ko")" "$w/root/modules/"
	done <"$w/kernel/order"
	cp "$w/kernel/order" "$w/root/modules/order"
	cp "$work/wire_check-$arch" "$w/root/wire_check"
	cp "$2" "$w/root/pondrel"
	cp "$top/tests/common/checks.sh" "$top/tests/common/scenarios.sh" "$w/root/"
	cp "$here/init.sh" "$w/root/init"
	chmod 755 "$w/root/init" "$w/root/pondrel"
	mknod "$w/root/dev/console" c 5 1
	(cd "$w/root" && find . | cpio -o -H newc -R 0:0 --quiet) |
		gzip -1 >"$w/initrd.gz"
}

boot() { # BOARD WIRE
	status=0
	start=$(date +%s.%N)
	# shellcheck disable=SC2086 # the machine options are words
	# Judged on what it prints: stopped after a minute of silence, and
	# only as a backstop after 600 s, ten times a busy machine's boot.
	sh "$top/tests/common/watchdog.sh" "$w/console.raw" 600 "$qemu" $machine \
		-m "$mem" -nographic -monitor none -no-reboot -nic none \
		-kernel "$(ls "$w"/kernel/boot/vmlinu*)" -initrd "$w/initrd.gz" \
		-append "console=$console panic=-1 quiet pondrel_wire=$2" || status=$?
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
	echo "$1: $(sed -n 's/^pondrel-board: .* kernel \([^ ]*\) .*/\1/p' "$w/console")" \
		"booted, checked and powered off in $secs s"
	grep -q '^pondrel-board: end of suite, 0 failed' "$w/console"
}

# One board per process: set -e holds in each, and a failing board does not
# keep the others from being tried. BOARDS_AT_ONCE boot at once (two by
# default, one per core), each into a log that is shown whole when it is
# done, so that their lines do not mix.
if [ "$1" = --one ]; then # BOARD PONDREL WIRE
	one=$2
	exec 3>&1 >"$work/$one.log" 2>&1
	# shellcheck disable=SC2016,SC2154 # expanded on exit
	trap 'st=$?; flock "$work/log.lock" cat "$work/$one.log" >&3
		[ $st -eq 0 ] || echo "$one" >>"$work/failed"' EXIT
	arch=${2%@*}
	board "$arch"
	echo "== $2: $qemu $machine, $(sed -n 's/.*\/\([^/]*\)\.deb$/\1/p;q' "$work/$2.debs"), $3"
	prepare "$2" "$3"
	# An emulated kernel that traced while it loaded the modules is at
	# fault, not the tool (s390x once lost the ifb link type so, though
	# every insmod succeeded): its init says so, and it boots once more.
	if ! boot "$2" "$4"; then
		grep -q '^pondrel-board: the kernel traced' "$w/console" || exit 1
		echo "== $2: booted once more"
		boot "$2" "$4"
	fi
	exit 0
fi
if [ "$1" = --ci ]; then
	# shellcheck disable=SC2046 # one board a word
	set -- $(ci_boards | cut -d' ' -f1)
fi
mkdir -p "$work"
needs="cpio xz-utils"
# One "BOARD PONDREL WIRE" a line, a bare ARCH on the machine's release;
# WIRE is yes on the first board of each architecture, where the wire's
# rows prove that architecture's byte order once.
seen=
for a; do
	b=${a%%=*}
	case $b in *@?*) ;; *) b=$b@$mine ;; esac
	board "${b%@*}"
	[ -n "$packages" ] || dpkg --add-architecture "$arch"
	needs="$needs $qpkg g++-$triple"
	p=$top/build-static-$arch/pondrel
	[ "$a" = "${a%%=*}" ] || p=${a#*=}
	wire=yes
	case " $seen " in *" $arch "*) wire=no ;; esac
	seen="$seen $arch"
	echo "$b $(realpath -m "$p") $wire"
done >"$work/boards"
if [ -n "$packages" ]; then
	# shellcheck disable=SC2086 # one word per package
	echo $needs
	exit 0
fi
# shellcheck disable=SC2086 # one word per package
sh "$top/scripts/deps.sh" $needs
# shellcheck disable=SC2046
fetch $(cut -d' ' -f1 "$work/boards")
for a in $(cut -d' ' -f1 "$work/boards" | sed 's/@.*//' | sort -u); do
	board "$a"
	build_wire_check "$a"
done
: >"$work/failed"
fetched() { # the boards' lines whose packages are all at hand, or the others
	awk -v want="$1" 'FILENAME == ARGV[1] { ok[$1]; next }
		(($1 in ok) ? "yes" : "no") == want' "$work/fetched" "$work/boards"
}
fetched no | cut -d' ' -f1 >>"$work/failed"
# Each board's failure is in $work/failed.
fetched yes | xargs -r -n 3 -P "${BOARDS_AT_ONCE:-2}" sh "$0" --one || :
if [ -s "$work/failed" ]; then
	echo "FAIL - boards: $(tr '\n' ' ' <"$work/failed")" >&2
	exit 1
fi
