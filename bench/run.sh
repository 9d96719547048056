#!/bin/sh
# The cost benchmark: builds a Release pondrel, one with libnl linked in,
# the fully static one of scripts/static-build.sh amd64 and the Debian
# package (dpkg-buildflags' hardening), then times `pondrel IF - 5000`
# against tc doing the same three requests, in one batch and as one process
# per request, and against the floor program, all alternating on a veth
# pair in a throwaway network namespace. Prints the tables and checks the
# targets, then measures the traffic figures with bench/traffic.sh.
# Run as root: sudo sh bench/run.sh
# ROUNDS (default 51) sets the runs per command; TRAFFIC=no skips traffic.
set -eu
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-51}
sh scripts/deps.sh strace

build() { # dir, cmake options...
	dir=$1
	shift
	cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPONDREL_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" --parallel 2 >/dev/null
}
build build-bench -DPONDREL_BENCH=ON
build build-bench-static -DPONDREL_STATIC_LIBNL=ON
sh scripts/static-build.sh amd64 >/dev/null
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
floor=$PWD/build-bench/bench/pondrel_floor
runner=$PWD/build-bench/bench/pondrel_bench_runner

ns=pondrel-bench5-$$
work=$(mktemp -d)
trap 'ip netns del "$ns" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
ip netns add "$ns"
ip -n "$ns" link add bench0 type veth peer name bench1
ip -n "$ns" link set bench0 up
ip -n "$ns" link set bench1 up

# The same three requests as the tool's run: no ingress limit, 5000 Kbit/s
# out with a 2 KiB burst and 50 ms of queue.
tbf="qdisc add dev bench0 root tbf rate 5mbit burst 2kb latency 50ms"
printf 'qdisc del dev bench0 ingress\nqdisc del dev bench0 root\n%s\n' \
	"$tbf" >"$work/batch"

stripped() {
	strip -o "$work/stripped" "$1"
	wc -c <"$work/stripped"
}

echo "== $rounds alternating runs each, $(nproc) CPUs, load: $(cut -d' ' -f1-3 /proc/loadavg)"
ip netns exec "$ns" "$runner" "$rounds" \
	"pondrel=$dyn bench0 - 5000" \
	"pondrel, libnl linked in=$static bench0 - 5000" \
	"pondrel, static musl=$musl bench0 - 5000" \
	"pondrel, Debian package=$deb bench0 - 5000" \
	"tc -force -batch=tc -force -batch $work/batch" \
	"tc, one process per request=tc qdisc del dev bench0 ingress ; tc qdisc del dev bench0 root ; tc $tbf" \
	"floor (static C, raw socket)=$floor bench0" \
	"tc qdisc show=tc qdisc show" >"$work/times"
# The tool's run must have left its limit in place.
ip netns exec "$ns" "$dyn" bench0 - 5000
ip netns exec "$ns" tc qdisc show dev bench0 | grep -q 'tbf .*rate 5Mbit'

tc_size=$(stripped "$(command -v tc)")
awk -F '\t' -v dyn="$(stripped "$dyn")" -v static="$(stripped "$static")" \
	-v musl="$(stripped "$musl")" -v deb="$(stripped "$deb")" \
	-v floor="$(stripped "$floor")" -v tc="$tc_size" '
	{ label[NR] = $1; med[NR] = $2; lo[NR] = $3; hi[NR] = $4
	  rss[NR] = $5; bad[NR] = $6; n = NR }
	END {
		size["pondrel"] = dyn; size["pondrel, libnl linked in"] = static
		size["pondrel, static musl"] = musl
		size["pondrel, Debian package"] = deb
		size["floor (static C, raw socket)"] = floor
		print "| command | median ms | min-max ms | pondrel / it | peak RSS KiB | stripped bytes | failed runs |"
		print "|---|---:|---:|---:|---:|---:|---:|"
		for (i = 1; i <= n; i++) {
			s = (label[i] in size) ? size[label[i]] : tc
			ratio = label[i] == "tc qdisc show" ? "-" : sprintf("%.2f", med[1] / med[i])
			printf "| %s | %.3f | %.3f-%.3f | %s | %d | %d | %d |\n",
				label[i], med[i] / 1000, lo[i] / 1000, hi[i] / 1000,
				ratio, rss[i], s, bad[i]
		}
	}' "$work/times"
echo "(tc's failed runs are its refusal to delete the absent ingress qdisc,"
echo " which -force carries on past; pondrel and the floor tolerate it.)"

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
syscalls "pondrel, static musl" "$musl" bench0 - 5000
syscalls "pondrel, Debian package" "$deb" bench0 - 5000
syscalls "tc -force -batch" tc -force -batch "$work/batch"
syscalls floor "$floor" bench0

echo
echo "== targets"
fail=0
target() { # description, awk condition on the times table
	if awk -F '\t' "$2" "$work/times"; then
		echo "PASS $1"
	else
		echo "FAIL $1"
		fail=1
	fi
}
target "pondrel <= 0.6 x tc -force -batch" \
	'{ t[$1] = $2 } END { r = t["pondrel"] / t["tc -force -batch"]; printf "  ratio %.2f: ", r; exit !(r <= 0.6) }'
target "pondrel <= 1.5 x floor" \
	'{ t[$1] = $2 } END { r = t["pondrel"] / t["floor (static C, raw socket)"]; printf "  ratio %.2f: ", r; exit !(r <= 1.5) }'
target "peak RSS <= 1.8 MB" \
	'{ m[$1] = $5 } END { printf "  %d KiB = %.2f MB: ", m["pondrel"], m["pondrel"] * 1024 / 1e6; exit !(m["pondrel"] * 1024 <= 1.8e6) }'
target "peak RSS <= 0.7 x tc qdisc show" \
	'{ m[$1] = $5 } END { r = m["pondrel"] / m["tc qdisc show"]; printf "  ratio %.2f: ", r; exit !(r <= 0.7) }'
target "static musl pondrel <= 1.10 x floor" \
	'{ t[$1] = $2 } END { r = t["pondrel, static musl"] / t["floor (static C, raw socket)"]; printf "  ratio %.2f: ", r; exit !(r <= 1.10) }'
target "static musl pondrel peak RSS <= 0.7 MB" \
	'{ m[$1] = $5 } END { printf "  %d KiB = %.2f MB: ", m["pondrel, static musl"], m["pondrel, static musl"] * 1024 / 1e6; exit !(m["pondrel, static musl"] * 1024 <= 0.7e6) }'
if [ "$(stripped "$musl")" -le 98304 ]; then
	echo "PASS static musl pondrel stripped <= 96 KiB: $(stripped "$musl") bytes"
else
	echo "FAIL static musl pondrel stripped <= 96 KiB: $(stripped "$musl") bytes"
	fail=1
fi
if sh tests/footprint.sh "$dyn" 20480 | sed 's/^/  /'; then
	echo "PASS stripped size <= 20 KiB, NEEDED only libc and libnl-3, only the named libnl calls"
else
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
