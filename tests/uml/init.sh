#!/bin/sh
# Init of the user-mode kernel that tests/uml/run.sh boots; it proves pondrel
# on a kernel that has every qdisc, classifier and action the tool uses.
# Its root file system is the host's own, read-write: everything written here
# goes to the tmpfs on /run or to $UML_OUT, nowhere else. One line per check,
# "ok - ..." or "FAIL - ...", and only when every scenario was reached, the
# end line that run.sh waits for. With UML_MODE=traffic it runs only the
# traffic matrix of traffic.sh, for bench/traffic.sh.
set -u
if [ "$$" -ne 1 ]; then
	echo "init.sh only runs as the init of the user-mode kernel" >&2
	exit 1
fi
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
trap 'poweroff -f' EXIT

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /run
# Scratch space lives on that tmpfs too. Nothing is mounted over /tmp: the
# checkout and its build directory may well be below it.
T=/run/pondrel-uml
mkdir -p $T
TMPDIR=$T
export TMPDIR
# shellcheck source=/dev/null
. "$UML_OUT/env" # PONDREL, WIRE_CHECK, RACE, STRERROR
# Nothing is loaded behind our back: a module missing is a module not loaded.
echo /bin/false >/proc/sys/kernel/modprobe

# same, run and state
# shellcheck source=tests/common/checks.sh
. "$(dirname "$0")/../common/checks.sh"

load() { # module paths under the kernel's module tree, without .ko
	for m; do
		if ! busybox insmod "/usr/lib/uml/modules/$(uname -r)/kernel/$m.ko"; then
			echo "FAIL - module $m cannot be loaded"
			exit 1
		fi
	done
}

# Refused requests must each be reported, and only with exit status 1.
reported() { # STATUS ERRFILE
	case $1 in
	0) [ ! -s "$2" ] ;;
	1) [ -s "$2" ] && ! grep -qv '^varnic: error: netlink: ' "$2" ;;
	*) false ;;
	esac
}

# Reports carry the texts of pondrel's own C library.
ENOENT_TEXT=$("$STRERROR" 2)
EPERM_TEXT=$("$STRERROR" 1)

load net/sched/sch_tbf net/sched/sch_ingress net/sched/cls_basic \
	drivers/net/dummy drivers/net/veth drivers/net/nlmon
# shellcheck source=tests/uml/traffic.sh
. "$(dirname "$0")/traffic.sh"
# bench/traffic.sh boots this kernel for its traffic matrix alone.
if [ "${UML_MODE:-suite}" = traffic ]; then
	load net/sched/act_police net/sched/sch_netem net/sched/act_mirred
	# Without numifbs=0 ifb would make ifb0 and ifb1 of its own.
	if ! busybox insmod "/usr/lib/uml/modules/$(uname -r)/kernel/drivers/net/ifb.ko" numifbs=0; then
		echo "FAIL - module drivers/net/ifb cannot be loaded"
		exit 1
	fi
	traffic_matrix
	echo "pondrel-uml: end of suite, $fails failed"
	exit
fi
ip link add d0 type dummy
ip link set d0 up

echo "== faults: the police action is not loaded"
run d0 10000 5000
same "refused filter: exit 1, one report" "$st|$out|$err" \
	"1||varnic: error: netlink: $ENOENT_TEXT"
same "refused filter: egress still applied" "$(state d0)" \
	"tbf 5Mbit 2Kb 50ms | ingress 1 filters 0"
run d0 - -
load net/sched/act_police

echo "== both directions, idempotence, replacement, removal"
# what | arguments | what tc must show after the run
while IFS='|' read -r what args want; do
	# shellcheck disable=SC2086
	run d0 $args
	same "$what: exit 0, silent" "$st|$out|$err" "0||"
	same "$what: tc shows it" "$(state d0)" "$want"
done <<'EOF'
both directions|10000 5000|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop
the same run again|10000 5000|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop
other rates replace both|20000 3000|tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop
- removes only ingress|- 3000|tbf 3Mbit 2Kb 50ms | ingress 0 filters 0
ingress back|7000 3000|tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 7Mbit 10Kb 2Kb drop
- removes only egress|7000 -|| ingress 1 filters 1 police 7Mbit 10Kb 2Kb drop
- - leaves neither|- -|| ingress 0 filters 0
EOF
run d0 10000 5000
# The exact figures behind tc's rounded text: bytes/s and microseconds.
same "tc -j: tbf rate and latency" \
	"$(tc -j qdisc show dev d0 | grep -o '"kind":"tbf"\|"rate":[0-9]*\|"lat":[0-9]*' | tr '\n' ' ')" \
	'"kind":"tbf" "rate":625000 "lat":50000 '
same "tc -j: one basic filter under ffff:" \
	"$(tc -j filter show dev d0 ingress | grep -o '"kind":"basic"\|"parent":"ffff:"' | sort | uniq -c | tr -s ' \n' ' ')" \
	' 2 "kind":"basic" 2 "parent":"ffff:" '

echo "== the wire"
ip link add nlmon0 type nlmon
ip link set nlmon0 up
for args in "10000 5000" "- 2000" "3000 -" "- -" "0.5 34359738"; do
	st=0
	# shellcheck disable=SC2086
	"$WIRE_CHECK" nlmon0 "$PONDREL" d0 $args >$T/wire 2>&1 || st=$?
	same "wire: pondrel d0 $args sends the expected requests" "$st" 0
	[ "$st" = 0 ] || sed 's/^/    /' $T/wire
done
ip link del nlmon0

echo "== faults on the real kernel"
ip link add d1 type dummy
run d1 - 1000
same "interface still there: applied" "$st|$err" "0|"
ip link del d1
run d1 - 1000
same "interface deleted between runs" "$st|$out|$err" "1||invalid interface: d1"

# Two runs started together on one CPU rarely overlap by chance, so each
# overlap is forced: the first run is held after its k-th request while the
# second runs whole. Whatever the overlap leaves, a third run must clean up.
for k in 1 2 3 4 5; do
	read -r s1 s2 how <<EOF
$(timeout 20 "$RACE" $k "$PONDREL" d0 10000 5000 $T/err1 20000 3000 $T/err2)
EOF
	reported "$s1" $T/err1 && reported "$s2" $T/err2
	same "second run inside the first after its request $k: both end, refusals reported (exits ${s1:-none} ${s2:-none})" \
		"$?|${how:-}" "0|held"
	cat $T/err1 $T/err2 | sed 's/^/    /'
	echo "    left: $(state d0)"
	run d0 10000 5000
	same "a third run after that overlap leaves one configuration" \
		"$st|$err|$(state d0)" \
		"0||tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop"
done

cp "$PONDREL" $T/pondrel
chmod 755 $T/pondrel
before=$(state d0)
for args in "1 1" "- -"; do
	st=0
	# shellcheck disable=SC2086
	setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
		--bounding-set=-all $T/pondrel d0 $args 2>$T/err || st=$?
	same "without CAP_NET_ADMIN ($args): refused" \
		"$st|$(sort -u $T/err)" "1|varnic: error: netlink: $EPERM_TEXT"
	same "without CAP_NET_ADMIN ($args): nothing changed" "$(state d0)" "$before"
done

echo "== traffic"
# Only what must hold on any machine: goodput never more than 10 % above the
# set rate, and a limit clearly in force. The figures users read come from
# the matrix of bench/traffic.sh, which takes minutes.
traffic_up
for dir in egress ingress; do
	limit $dir -
	free=$(goodput $dir 3 0)
	free=${free:-0}
	echo "$dir unlimited: $free Kbit/s"
	for kbit in 1000 10000 50000; do
		st=0
		limit $dir $kbit || st=$?
		g=$(goodput $dir 3 0)
		g=${g:-0}
		same "$dir $kbit Kbit/s: applied, $g Kbit/s measured, at most 10% above" \
			"$st $(awk "BEGIN { print ($g > 0 && $g <= $kbit * 1.1) }")" "0 1"
		same "$dir $kbit Kbit/s: $g Kbit/s is below half of unlimited" \
			"$(awk "BEGIN { print ($g < $free / 2) }")" 1
	done
done
traffic_down

echo "pondrel-uml: end of suite, $fails failed"
