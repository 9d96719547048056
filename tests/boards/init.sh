#!/bin/sh
# Init of the initramfs that tests/boards/run.sh boots under full-system
# emulation with one architecture's Debian kernel: it proves that board's
# static pondrel on that kernel. The initramfs holds busybox, the target's
# own tc and ip with their libraries, the kernel's modules in /modules (in
# load order), /pondrel, /wire_check and /checks.sh. One line per check,
# "ok - ..." or "FAIL - ...", then the end line that run.sh waits for.
set -u
PATH=/sbin:/bin
export PATH
trap 'poweroff -f' EXIT
/bin/busybox mkdir -p /proc /sys /dev /run/lock
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
# busybox's shell needs /dev/null for "&" and redirections.
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox --install -s /bin
# busybox's tc prints no qdisc options, and its shell prefers its own
# applets to anything in PATH, though not to functions: these name the
# target's iproute2.
tc() { /sbin/tc "$@"; }
ip() { /sbin/ip "$@"; }
echo "pondrel-board: $(uname -m) kernel $(uname -r) reached init after $(cut -d' ' -f1 /proc/uptime) s"
T=/run
PONDREL=/pondrel
# shellcheck source=tests/common/checks.sh
. /checks.sh
# Nothing is loaded behind our back: a module missing is a module not loaded.
echo /bin/false >/proc/sys/kernel/modprobe

while read -r m; do
	# Without numifbs=0 the module makes ifb0 and ifb1, which nothing needs.
	args=
	[ "$m" != ifb ] || args=numifbs=0
	# shellcheck disable=SC2086
	if ! insmod "/modules/$m.ko" $args; then
		echo "FAIL - module $m cannot be loaded"
		exit 1
	fi
done </modules/order
ip link add d0 type dummy
ip link set d0 up

# The ingress filters as "parent protocol kind", one per line: "protocol
# all" shows that tcm_info reached this kernel in network order, while
# every other field of the request is in the host's order.
filters() {
	tc filter show dev "$1" ingress |
		sed -n 's/^filter parent \([^ ]*\) protocol \([^ ]*\) pref [0-9]* \([a-z]*\) .*handle .*/\1 \2 \3/p'
}

echo "== both directions, replacement, removal"
# what | arguments | the ingress filters | what tc must show
while IFS='|' read -r what args want_filters want; do
	# shellcheck disable=SC2086
	run d0 $args
	same "$what: exit 0, silent" "$st|$out|$err" "0||"
	same "$what: tc shows it" "$(state d0)" "$want"
	same "$what: ingress filters" "$(filters d0)" "$want_filters"
	if [ "$args" = "10000 5000" ]; then
		# What --status reads back, in this host's byte order, against
		# the figures tc shows above.
		same "$what: --status reads it back" "$("$PONDREL" --status d0 | grep -v '^  passed')" \
			"ingress: 10000 Kbit/s, policed, bucket 10240 bytes
egress: 5000 Kbit/s, shaped, bucket 2048 bytes, queue 33298 bytes 50 ms"
		tc qdisc show dev d0 | sed '/^$/d; s/^/    tc: /'
		tc filter show dev d0 ingress | sed '/^$/d; s/^/    tc: /'
	fi
done <<'EOF'
both directions|10000 5000|ffff: all basic|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop
other rates replace both|20000 3000|ffff: all basic|tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop
- - removes both|- -||| ingress 0 filters 0
EOF

echo "== the shaped mode"
# The IFB of d0 as "alias | its tbf", and where d0's filters redirect to.
ifb_of_d0() {
	echo "$(ip -d link show ifb-d0 2>/dev/null | sed -n 's/^ *alias //p') | $(state ifb-d0 | sed 's/ *| ingress 0 filters 0$//')"
}
redirect() {
	tc filter show dev d0 ingress | sed -n 's/.*mirred (Egress Redirect to device \([^)]*\)) stolen.*/\1/p'
}
# The qdiscs of d0, and of its IFB if any, as tc -j reads them back.
fair_queues() {
	printf %s "$(qdiscs d0)"
	[ ! -e /sys/class/net/ifb-d0 ] || printf ' / %s' "$(qdiscs ifb-d0)"
	echo
}
# Below each shaped tbf, fq_codel: target, interval (the kernel gives them
# back a microsecond short), limit in packets, in bytes, and ECN.
fq='tbf 1: root, fq_codel 2: parent 1:1 target'
# what | arguments | the ingress filters and their redirect | d0's tbf | the qdiscs | the IFB
while IFS='|' read -r what args want_filters want_tbf want_qdiscs want_ifb; do
	# shellcheck disable=SC2086
	run $args
	same "$what: exit 0, silent" "$st|$out|$err" "0||"
	same "$what: d0's filters" "$(filters d0) $(redirect)" "$want_filters"
	same "$what: d0's tbf" "$(state d0 | sed 's/ *|.*//')" "$want_tbf"
	same "$what: the IFB" "$(ifb_of_d0)" "$want_ifb"
	same "$what: the qdiscs" "$(fair_queues)" "$(echo "$want_qdiscs" | sed "s/FQ/$fq/g")"
	if [ "$args" = "-s d0 10000 100000" ]; then
		same "$what: --status reads it back" "$("$PONDREL" --status d0 | grep -v '^  ')" \
			"ingress: 10000 Kbit/s, shaped through IFB ifb-d0, bucket 5000 bytes, fair queue fq_codel target 10 ms interval 200 ms, limit 305 packets 312500 bytes, ECN
egress: 100000 Kbit/s, shaped, bucket 50000 bytes, fair queue fq_codel target 10 ms interval 200 ms, limit 3051 packets 3125000 bytes, ECN"
		"$PONDREL" --status d0 | sed 's/^/    status: /'
		"$PONDREL" --json d0 | sed 's/^/    json: /'
		tc filter show dev d0 ingress | sed '/^$/d; s/^/    tc: /'
		tc qdisc show dev ifb-d0 | sed '/^$/d; s/^/    tc: /'
		ip -d link show ifb-d0 | sed -n 's/^ *\(alias .*\)/    ip: \1/p'
		# One parameter changed by tc makes the direction someone else's.
		tc qdisc replace dev d0 parent 1:1 handle 2: fq_codel target 6ms
		same "$what: another target below d0's tbf is someone else's" \
			"$("$PONDREL" --status d0 | grep -v '^  ' | sed -n 's/^egress: //p')" \
			"not set by pondrel: tbf with fq_codel"
	fi
	# A refusal names no step; tc and ip, replaying the ingress half, say
	# which one the kernel refuses, in its own words.
	if [ "$st" != 0 ]; then
		dmesg | tail -n 5 | sed 's/^/    dmesg: /'
		{ ip link add ifb-d0 type ifb && ip link set ifb-d0 up &&
			tc qdisc add dev ifb-d0 root handle 1: tbf rate 1mbit burst 5000 latency 50ms &&
			tc qdisc add dev ifb-d0 parent 1:1 handle 2: fq_codel &&
			tc qdisc add dev d0 ingress &&
			tc filter add dev d0 parent ffff: basic action mirred egress redirect dev ifb-d0; } 2>&1 |
			sed 's/^/    replay: /'
		ip link del ifb-d0 2>/dev/null
		tc qdisc del dev d0 ingress 2>/dev/null
	fi
done <<'EOF'
shaped, both directions|-s d0 10000 100000|ffff: all basic ifb-d0|tbf 100Mbit 50000b 50ms|FQ 9999 interval 199999 limit 3051 memory_limit 3125000 ecn / FQ 9999 interval 199999 limit 305 memory_limit 312500 ecn|pondrel ingress of d0 | tbf 10Mbit 5000b 50ms
shaped again replaces|--shape d0 50000 -|ffff: all basic ifb-d0||noqueue 0: root / FQ 9999 interval 199999 limit 1525 memory_limit 1562500 ecn|pondrel ingress of d0 | tbf 50Mbit 25000b 50ms
a plain run takes the IFB away|d0 1000 1000|ffff: all basic |tbf 1Mbit 2Kb 50ms|tbf auto: root| | 
shaped after plain|-s d0 1000 -|ffff: all basic ifb-d0||noqueue 0: root / FQ 12111 interval 202112 limit 128 memory_limit 131072 ecn|pondrel ingress of d0 | tbf 1Mbit 2Kb 50ms
- - removes it all|-s d0 - -| ||noqueue 0: root| | 
EOF

echo "== the wire"
ip link add nlmon0 type nlmon
ip link set nlmon0 up
wire_table /wire_check
run --shape d0 - -
ip link del nlmon0

echo "== faults"
before=$(state d0)
# what | arguments | exit status | standard error
while IFS='|' read -r what args want_st want_err; do
	# shellcheck disable=SC2086
	run $args
	same "$what" "$st|$out|$err" "$want_st||$want_err"
done <<'EOF'
a rate that is no number|d0 10x 5000|1|Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-
no such interface|nosuch0 10000 5000|1|invalid interface: nosuch0
EOF
same "the faults changed nothing" "$(state d0)" "$before"

echo "== a zero rate"
# What this kernel does with the plain call's zero, which the plain call
# keeps taking: it limits nothing, and pings from the far end pass.
mkdir -p /run/netns
ip netns add far
ip link add va type veth peer name vb netns far
ip addr add 10.9.0.1/24 dev va
ip link set va up
ip -n far addr add 10.9.0.2/24 dev vb
ip -n far link set vb up
run va 0 0
# tc works the tbf's latency out of a zero rate as it likes: left out.
same "va 0 0: taken, a zero rate on both, and the far end's pings pass" \
	"$st|$(state va | sed 's/^\(tbf [^ ]* [^ ]*\) [^|]*/\1 /')|$(ip netns exec far ping -q -c 3 -W 5 10.9.0.1 >/dev/null && echo pass)" \
	"0|tbf 0bit 0b | ingress 1 filters 1 police 0bit 0b 4096Mb drop|pass"

echo "pondrel-board: end of suite, $fails failed"
