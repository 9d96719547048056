#!/bin/sh
# The cost benchmark: builds a Release pondrel, one with libnl linked in,
# the fully static one of scripts/static-build.sh amd64 and the Debian
# package (dpkg-buildflags' hardening), then times `pondrel IF - 5000`
# against tc doing the same three requests, in one batch and as one process
# per request, and against the floors of bench/floor.c (dynamic glibc,
# static musl, bare system calls), all alternating on a veth pair in a
# throwaway network namespace. Prints the tables and checks the
# targets, then measures the traffic figures with bench/traffic.sh.
# Run as root: sudo sh bench/run.sh
# ROUNDS (default 101) sets the runs per command; TRAFFIC=no skips traffic.
# DEVICES (default 2) gives the namespace about that many devices, in veth
# pairs, as a router with VLANs and tunnels has: a run must not pay for
# each.
set -eu
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-101}
sh scripts/deps.sh strace

build() { # dir, cmake options...
	dir=$1
	shift
	cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPONDREL_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" --parallel 2 >/dev/null
}
# The static build first: it installs musl, which the static floors need.
sh scripts/static-build.sh amd64 >/dev/null
build build-bench -DPONDREL_BENCH=ON
build build-bench-static -DPONDREL_STATIC_LIBNL=ON
musl=$PWD/build-static-amd64/pondrel
dyn=$PWD/build-bench/pondrel
static=$PWD/build-bench-static/pondrel
# The binary users of the Debian package get: dpkg-buildflags' hardening,
# stripped by debhelper. The tests add nothing to it, so they stay out.
DEB_BUILD_OPTIONS=nocheck sh scripts/deb-build.sh >/dev/null
debroot=$PWD/build-deb/root
rm -rf "$debroot"
dpkg-deb -x "build-deb/pondrel_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb" "$debroot"
deb=$debroot/usr/sbin/pondrel
floor_dyn=$PWD/build-bench/bench/pondrel_floor
floor_musl=$PWD/build-bench/bench/pondrel_floor_musl
floor_raw=$PWD/build-bench/bench/pondrel_floor_raw
runner=$PWD/build-bench/bench/pondrel_bench_runner

ns=pondrel-bench5-$$
work=$(mktemp -d)
trap 'ip netns del "$ns" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
ip netns add "$ns"
ip -n "$ns" link add bench0 type veth peer name bench1
ip -n "$ns" link set bench0 up
ip -n "$ns" link set bench1 up
i=2
while [ "$i" -lt "${DEVICES:-2}" ]; do
	echo "link add bench$i type veth peer name bench$((i + 1))"
	i=$((i + 2))
done | ip -n "$ns" -batch -

# The same three requests as the tool's run: no ingress limit, 5000 Kbit/s
# out with a 2 KiB burst and 50 ms of queue.
tbf="qdisc add dev bench0 root tbf rate 5mbit burst 2kb latency 50ms"
printf 'qdisc del dev bench0 ingress\nqdisc del dev bench0 root\n%s\n' \
	"$tbf" >"$work/batch"

stripped() {
	strip -o "$work/stripped" "$1"
	wc -c <"$work/stripped"
}

echo "== $rounds alternating runs each, $(nproc) CPUs, ${DEVICES:-2} devices, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
ip netns exec "$ns" "$runner" "$rounds" \
	"pondrel=$dyn bench0 - 5000" \
	"pondrel, libnl linked in=$static bench0 - 5000" \
	"pondrel, Debian package=$deb bench0 - 5000" \
	"pondrel, static musl=$musl bench0 - 5000" \
	"tc -force -batch=tc -force -batch $work/batch" \
	"tc, one process per request=tc qdisc del dev bench0 ingress ; tc qdisc del dev bench0 root ; tc $tbf" \
	"floor, dynamic glibc=$floor_dyn bench0" \
	"floor, static musl=$floor_musl bench0" \
	"floor, static raw system calls=$floor_raw bench0" \
	"tc qdisc show=tc qdisc show" >"$work/times"
echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
# The tool's run must have left its limit in place.
ip netns exec "$ns" "$dyn" bench0 - 5000
ip netns exec "$ns" tc qdisc show dev bench0 | grep -q 'tbf .*rate 5Mbit'

# The shaped mode, timed from its second run on: the IFB exists, as the
# shaped floors expect. It needs the kernel's basic classifier, mirred and
# IFB; a kernel without them cannot run it, and the targets say so.
shaped=no
if ip netns exec "$ns" "$dyn" --shape bench0 5000 5000 2>"$work/shaped.err"; then
	shaped=yes
	echo "== the shaped mode, $rounds alternating runs each, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
	ip netns exec "$ns" "$runner" "$rounds" \
		"shaped pondrel=$dyn --shape bench0 5000 5000" \
		"shaped pondrel, libnl linked in=$static --shape bench0 5000 5000" \
		"shaped pondrel, Debian package=$deb --shape bench0 5000 5000" \
		"shaped pondrel, static musl=$musl --shape bench0 5000 5000" \
		"shaped floor, dynamic glibc=$floor_dyn bench0 ifb-bench0" \
		"shaped floor, static musl=$floor_musl bench0 ifb-bench0" \
		"shaped floor, static raw system calls=$floor_raw bench0 ifb-bench0" \
		>>"$work/times"
	echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
fi

# Every awk program below starts with this: the table by label, and each
# contender's floor. The static floor is the faster of the two static ones;
# everything that loads glibc dynamically has the dynamic floor.
floors='
{ label[NR] = $1; med[$1] = $2; lo[$1] = $3; hi[$1] = $4
  rss[$1] = $5; bad[$1] = $6; n = NR }
function floor_of(l,  p, s) {
	p = l ~ /^shaped / ? "shaped " : ""
	l = substr(l, length(p) + 1)
	if (l ~ /^floor/ || l == "tc qdisc show")
		return ""
	if (l != "pondrel, static musl")
		return p "floor, dynamic glibc"
	s = p "floor, static musl"
	if (med[p "floor, static raw system calls"] < med[s])
		s = p "floor, static raw system calls"
	return s
}'

tc_size=$(stripped "$(command -v tc)")
awk -F '\t' -v dyn="$(stripped "$dyn")" -v static="$(stripped "$static")" \
	-v musl="$(stripped "$musl")" -v deb="$(stripped "$deb")" \
	-v fdyn="$(stripped "$floor_dyn")" -v fmusl="$(stripped "$floor_musl")" \
	-v fraw="$(stripped "$floor_raw")" -v tc="$tc_size" "$floors"'
	END {
		size["pondrel"] = dyn; size["pondrel, libnl linked in"] = static
		size["pondrel, static musl"] = musl
		size["pondrel, Debian package"] = deb
		size["floor, dynamic glibc"] = fdyn
		size["floor, static musl"] = fmusl
		size["floor, static raw system calls"] = fraw
		for (l in size)
			size["shaped " l] = size[l]
		print "| command | median ms | min-max ms | its floor | / floor | peak RSS KiB | / floor RSS | stripped bytes | failed runs |"
		print "|---|---:|---:|---|---:|---:|---:|---:|---:|"
		for (i = 1; i <= n; i++) {
			l = label[i]; f = floor_of(l)
			s = (l in size) ? size[l] : tc
			printf "| %s | %.3f | %.3f-%.3f | %s | %s | %d | %s | %d | %d |\n",
				l, med[l] / 1000, lo[l] / 1000, hi[l] / 1000,
				f == "" ? "-" : f, f == "" ? "-" : sprintf("%.2f", med[l] / med[f]),
				rss[l], f == "" ? "-" : sprintf("%.2f", rss[l] / rss[f]), s, bad[l]
		}
	}' "$work/times"
echo "(tc's failed runs are its refusal to delete the absent ingress qdisc,"
echo " which -force carries on past; pondrel and the floors tolerate it.)"

echo
echo "== system calls in one run (strace -c)"
syscalls() { # label, command...
	label=$1
	shift
	ip netns exec "$ns" strace -f -c -o "$work/strace" "$@" >/dev/null 2>&1 || true
	printf '%-32s %s\n' "$label" "$(awk '$NF == "total" { print $4 }' "$work/strace")"
}
syscalls pondrel "$dyn" bench0 - 5000
syscalls "pondrel, libnl linked in" "$static" bench0 - 5000
syscalls "pondrel, Debian package" "$deb" bench0 - 5000
syscalls "pondrel, static musl" "$musl" bench0 - 5000
syscalls "tc -force -batch" tc -force -batch "$work/batch"
syscalls "floor, dynamic glibc" "$floor_dyn" bench0
syscalls "floor, static musl" "$floor_musl" bench0
syscalls "floor, static raw system calls" "$floor_raw" bench0

echo
echo "== targets"
fail=0
target() { # description, awk END rule on the times table
	if awk -F '\t' "$floors$2" "$work/times"; then
		echo "PASS $1"
	else
		echo "FAIL $1"
		fail=1
	fi
}
# Faster than its floor would mean the floor skips part of the job.
target "no contender below 1.00 x its floor" '
	END { for (i = 1; i <= n; i++) { l = label[i]; f = floor_of(l)
		if (f != "" && med[l] < med[f]) {
			printf "  %s at %.2f of its floor: ", l, med[l] / med[f]; exit 1 } }
	printf "  every one at or above: " }'
target "pondrel <= 0.6 x tc -force -batch" '
	END { r = med["pondrel"] / med["tc -force -batch"]; printf "  ratio %.2f: ", r; exit !(r <= 0.6) }'
target "pondrel <= 1.10 x dynamic floor" '
	END { r = med["pondrel"] / med[floor_of("pondrel")]; printf "  ratio %.2f: ", r; exit !(r <= 1.10) }'
target "static musl pondrel <= 1.15 x static floor (goal 1.05)" '
	END { l = "pondrel, static musl"; f = floor_of(l); r = med[l] / med[f]
		printf "  ratio %.2f to the %s: ", r, f; exit !(r <= 1.15) }'
target "static musl pondrel peak RSS <= 1.2 x static floor's" '
	END { l = "pondrel, static musl"; f = floor_of(l); r = rss[l] / rss[f]
		printf "  %d / %d KiB = %.2f: ", rss[l], rss[f], r; exit !(r <= 1.2) }'
if [ $shaped = yes ]; then
	target "shaped static musl pondrel <= 1.10 x its static floor" '
	END { l = "shaped pondrel, static musl"; f = floor_of(l); r = med[l] / med[f]
		printf "  ratio %.2f to the %s: ", r, f; exit !(r <= 1.10) }'
	target "shaped pondrel <= 1.10 x its dynamic floor" '
	END { r = med["shaped pondrel"] / med[floor_of("shaped pondrel")]; printf "  ratio %.2f: ", r; exit !(r <= 1.10) }'
else
	echo "FAIL the shaped mode is not timed: this kernel refuses its run ($(cat "$work/shaped.err"))"
	fail=1
fi
target "peak RSS <= 1.8 MB" '
	END { printf "  %d KiB = %.2f MB: ", rss["pondrel"], rss["pondrel"] * 1024 / 1e6; exit !(rss["pondrel"] * 1024 <= 1.8e6) }'
target "peak RSS <= 0.7 x tc qdisc show" '
	END { r = rss["pondrel"] / rss["tc qdisc show"]; printf "  ratio %.2f: ", r; exit !(r <= 0.7) }'
target "static musl pondrel peak RSS <= 0.7 MB" '
	END { m = rss["pondrel, static musl"]; printf "  %d KiB = %.2f MB: ", m, m * 1024 / 1e6; exit !(m * 1024 <= 0.7e6) }'
if [ "$(stripped "$musl")" -le 98304 ]; then
	echo "PASS static musl pondrel stripped <= 96 KiB: $(stripped "$musl") bytes"
else
	echo "FAIL static musl pondrel stripped <= 96 KiB: $(stripped "$musl") bytes"
	fail=1
fi
# Its status, not sed's: a pipeline would report the check as passed.
if sh tests/footprint.sh "$dyn" 40960 >"$work/footprint.txt"; then
	sed 's/^/  /' "$work/footprint.txt"
	echo "PASS stripped size <= 40 KiB, NEEDED only libc and libnl-3, only the named libnl calls"
else
	sed 's/^/  /' "$work/footprint.txt"
	echo "FAIL stripped size, NEEDED or imports"
	fail=1
fi

# --status against the two tc reads it stands for, on pondrel's limits in
# both directions: wall time and peak memory side by side. Its own section,
# so that the targets above stay as they are.
status_bench() {
	ip netns exec "$ns" "$dyn" bench0 10000 5000 ||
		echo "(no police action in this kernel: only egress is read)"
	ip netns exec "$ns" "$runner" "$rounds" \
		"pondrel --status=$dyn --status bench0" \
		"tc -s qdisc show ; tc -s filter show ingress=tc -s qdisc show dev bench0 ; tc -s filter show dev bench0 ingress" \
		>"$work/status"
	echo
	echo "== pondrel --status against the two tc runs it replaces"
	awk -F '\t' '
		{ printf "| %s | %.3f ms | %d KiB |\n", $1, $2 / 1000, $5
		  t[NR] = $2; m[NR] = $5 }
		END {
			r = t[1] / t[2]
			printf "  time ratio %.2f, memory ratio %.2f: ", r, m[1] / m[2]
			exit !(t[1] < t[2] && m[1] < m[2])
		}' "$work/status"
}
if status_bench; then
	echo "PASS pondrel --status < the tc runs in wall time and peak RSS"
else
	echo "FAIL pondrel --status < the tc runs in wall time and peak RSS"
	fail=1
fi

# The traffic matrix takes about ten minutes more; TRAFFIC=no leaves it out.
if [ "${TRAFFIC:-yes}" != no ]; then
	echo
	echo "== traffic accuracy (bench/traffic.sh)"
	sh bench/traffic.sh || fail=1
fi
exit $fail
