# shellcheck shell=sh disable=SC2154 # st, out and err come from run
# The scenarios that every test kernel runs, sourced after checks.sh by the
# user-mode kernel's init (tests/uml/init.sh) and the boards' (tests/boards/
# init.sh), whose busybox sh must run it too. The user-mode kernel sets
# SCENARIOS=full and runs every row; a board runs the rows marked "every",
# which are what differs from one kernel series to the next, and leaves
# the rest to the user-mode kernel: each emulated run costs seconds there.
# Each table's rows of one kind follow one another so that either kernel
# meets each row with the same state before it. Needs PONDREL, T, and tc
# and ip that print every option.

# A section's title, and how long after boot it starts, for the next change
# to see where a guest's time goes.
section() {
	echo "== $1 (at $(cut -d' ' -f1 /proc/uptime) s)"
}

# Whether a row marked KERNELS runs on this kernel.
ours() {
	[ "$1" = every ] || [ "${SCENARIOS:-every}" = full ]
}

# The ingress filters as "parent protocol kind", one per line: "protocol
# all" shows that tcm_info reached this kernel in network order, while
# every other field of the request is in the host's order.
filters() {
	tc filter show dev "$1" ingress |
		sed -n 's/^filter parent \([^ ]*\) protocol \([^ ]*\) pref [0-9]* \([a-z]*\) .*handle .*/\1 \2 \3/p'
}

# The shaped mode's d0 on one line: its tbf and filters, its qdiscs, its
# IFB and redirect, and the IFB's qdiscs.
shaped_state() {
	printf '%s / %s / %s' "$(state d0)" "$(qdiscs d0)" "$(ifb_state d0 ifb-d0)"
	[ ! -e /sys/class/net/ifb-d0 ] || printf ' / %s' "$(qdiscs ifb-d0)"
	echo
}
# The shaped mode's tbf and its fair queue as tc -j reads them back:
# TARGET INTERVAL LIMIT MEMORY_LIMIT, the times a microsecond or two short
# of what pondrel sent, as the kernel keeps them in units of 1.024 us.
fq() {
	echo "tbf 1: root, fq_codel 2: parent 1:1 target $1 interval $2 limit $3 memory_limit $4 ecn"
}
IFB='"UP" "ifalias":"pondrel ingress of d0" "kind":"tbf"'
REDIRECT='"protocol":"all","kind":"basic","chain":0,"options":{"handle":"1","actions":[{"order":1,"kind":"mirred","mirred_action":"redirect","direction":"egress","to_dev":"ifb-d0","control_action":{"type":"stolen"'

plain_scenarios() {
	section "both directions, idempotence, replacement, removal"
	# what | kernels | arguments | the ingress filters | what tc must show
	while IFS='|' read -r what kernels args want_filters want; do
		ours "$kernels" || continue
		# shellcheck disable=SC2086
		run d0 $args
		same "$what: exit 0, silent" "$st|$out|$err" "0||"
		same "$what: tc shows it" "$(state d0)" "$want"
		same "$what: ingress filters" "$(filters d0)" "$want_filters"
		[ "$what" = "both directions" ] || continue
		# What --status reads back, in this host's byte order, against
		# the figures tc shows above.
		same "$what: --status reads it back" "$("$PONDREL" --status d0 | grep -v '^  passed')" \
			"ingress: 10000 Kbit/s, policed, bucket 10240 bytes
egress: 5000 Kbit/s, shaped, bucket 2048 bytes, queue 33298 bytes 50 ms"
		tc qdisc show dev d0 | sed '/^$/d; s/^/    tc: /'
		tc filter show dev d0 ingress | sed '/^$/d; s/^/    tc: /'
	done <<'EOF'
both directions|every|10000 5000|ffff: all basic|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop
the same run again|full|10000 5000|ffff: all basic|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop
other rates replace both|every|20000 3000|ffff: all basic|tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop
- removes only ingress|full|- 3000||tbf 3Mbit 2Kb 50ms | ingress 0 filters 0
ingress back|full|7000 3000|ffff: all basic|tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 7Mbit 10Kb 2Kb drop
- removes only egress|full|7000 -|ffff: all basic|| ingress 1 filters 1 police 7Mbit 10Kb 2Kb drop
- - leaves neither|every|- -||| ingress 0 filters 0
EOF
}

shaped_scenarios() {
	section "shaped mode: both directions, replacement, removal, switches"
	# An IFB without pondrel's mark, as the module itself makes them.
	ip link add ifb0 type ifb
	ifb0=$(ip -d link show ifb0; tc qdisc show dev ifb0)
	# Each tbf's bucket is 4 ms of the rate, never below 2048 bytes; its fair
	# queue's target never below a 1514-byte frame's time at the rate, its
	# memory a quarter second of the rate within 128 KiB and 4 MiB, with a
	# packet for each KiB. One child only, whatever ran before.
	# what | kernels | arguments | what tc and ip must show after the run
	while IFS='|' read -r what kernels args want; do
		ours "$kernels" || continue
		# shellcheck disable=SC2086
		run $args
		same "$what: exit 0, silent" "$st|$out|$err" "0||"
		same "$what: tc and ip show it" "$(shaped_state)" "$want"
		if [ "$args" = "-s d0 10000 100000" ]; then
			same "$what: --status reads it back" "$("$PONDREL" --status d0 | grep -v '^  ')" \
				"ingress: 10000 Kbit/s, shaped through IFB ifb-d0, bucket 5000 bytes, fair queue fq_codel target 10 ms interval 200 ms, limit 305 packets 312500 bytes, ECN
egress: 100000 Kbit/s, shaped, bucket 50000 bytes, fair queue fq_codel target 10 ms interval 200 ms, limit 3051 packets 3125000 bytes, ECN"
			"$PONDREL" --json d0 | sed 's/^/    json: /'
			tc qdisc show dev ifb-d0 | sed '/^$/d; s/^/    tc: /'
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
	done <<EOF
shaped, both directions|every|-s d0 10000 100000|tbf 100Mbit 50000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 3051 3125000) / ifbs ifb0 ifb-d0 | $IFB "rate":1250000 "burst":5000 "lat":50000 | $REDIRECT / $(fq 9999 199999 305 312500)
shaped again replaces, egress removed|every|--shape d0 50000 -|| ingress 1 filters 1 / noqueue 0: root / ifbs ifb0 ifb-d0 | $IFB "rate":6250000 "burst":25000 "lat":50000 | $REDIRECT / $(fq 9999 199999 1525 1562500)
a plain run takes the IFB away|every|d0 1000 1000|tbf 1Mbit 2Kb 50ms | ingress 1 filters 1 police 1Mbit 10Kb 2Kb drop / tbf auto: root / ifbs ifb0 | |
shaped after plain|every|-s d0 1000 -|| ingress 1 filters 1 / noqueue 0: root / ifbs ifb0 ifb-d0 | $IFB "rate":125000 "burst":2048 "lat":50000 | $REDIRECT / $(fq 12111 202112 128 131072)
shaped both directions|full|--shape d0 100000 10000|tbf 10Mbit 5000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 305 312500) / ifbs ifb0 ifb-d0 | $IFB "rate":12500000 "burst":50000 "lat":50000 | $REDIRECT / $(fq 9999 199999 3051 3125000)
the same run again|full|--shape d0 100000 10000|tbf 10Mbit 5000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 305 312500) / ifbs ifb0 ifb-d0 | $IFB "rate":12500000 "burst":50000 "lat":50000 | $REDIRECT / $(fq 9999 199999 3051 3125000)
a slow ingress and a fast egress replace both|full|-s d0 1000 1000000|tbf 1Gbit 500000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 4096 4194304) / ifbs ifb0 ifb-d0 | $IFB "rate":125000 "burst":2048 "lat":50000 | $REDIRECT / $(fq 12111 202112 128 131072)
other rates replace both|full|-s d0 80000 100000|tbf 100Mbit 50000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 3051 3125000) / ifbs ifb0 ifb-d0 | $IFB "rate":10000000 "burst":40000 "lat":50000 | $REDIRECT / $(fq 9999 199999 2441 2500000)
- removes the redirect and the IFB|full|--shape d0 - 100000|tbf 100Mbit 50000b 50ms | ingress 0 filters 0 / $(fq 9999 199999 3051 3125000) / ifbs ifb0 | |
ingress back, its times 2 us short from the kernel|full|--shape d0 940 100000|tbf 100Mbit 50000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 3051 3125000) / ifbs ifb0 ifb-d0 | $IFB "rate":117500 "burst":2047 "lat":50000 | $REDIRECT / $(fq 12884 202885 128 131072)
plain run removes the IFB and the fair queue|full|d0 10000 5000|tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop / tbf auto: root / ifbs ifb0 | |
back to shaped|full|--shape d0 100000 100000|tbf 100Mbit 50000b 50ms | ingress 1 filters 1 / $(fq 9999 199999 3051 3125000) / ifbs ifb0 ifb-d0 | $IFB "rate":12500000 "burst":50000 "lat":50000 | $REDIRECT / $(fq 9999 199999 3051 3125000)
- - leaves neither|every|--shape d0 - -|| ingress 0 filters 0 / noqueue 0: root / ifbs ifb0 | |
EOF
	same "ifb0 as the module makes it: untouched by every run" \
		"$(ip -d link show ifb0; tc qdisc show dev ifb0)" "$ifb0"
}

# The wire's rows (wire_table) on d0, captured on nlmon0. WIRE_CHECK
wire_scenarios() {
	section "the wire"
	ip link add nlmon0 type nlmon
	ip link set nlmon0 up
	wire_table "$1"
	run --shape d0 - -
	ip link del nlmon0
}

fault_scenarios() {
	section "faults: exit statuses and their words"
	usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'
	before=$(state d0)
	# what | arguments | exit status and the words on stderr
	while IFS='|' read -r what args want; do
		# shellcheck disable=SC2086
		run $args
		same "$what" "$st|$out|$err" "$want"
	done <<EOF
a rate that is no number|d0 10x 5000|1||$usage
no such interface|nosuch0 10000 5000|1||invalid interface: nosuch0
status, no such interface|--status d9|1||invalid interface: d9
status, three words are the plain call|--status d0 d1|1||invalid interface: --status
status, --status: the usage line|--status|1||$usage
status, --json d0 d1 d2: the usage line|--json d0 d1 d2|1||$usage
status, --json -- d0 d1: the usage line|--json -- d0 d1|1||$usage
EOF
	same "the faults changed nothing" "$(state d0)" "$before"
	ip link add d1 type dummy
	run d1 - 1000
	same "interface still there: applied" "$st|$err" "0|"
	ip link del d1
	run d1 - 1000
	same "interface deleted between runs" "$st|$out|$err" "1||invalid interface: d1"
}

# d0's root and its IFB's as tc shows them, then d0's ingress qdisc and
# filters; a handle that the kernel picked, from 8000: up, as "auto:".
cake_state() {
	for dev in d0 ifb-d0; do
		tc qdisc show dev $dev 2>/dev/null |
			sed -n 's/^qdisc \([a-z_]*\) \([0-9a-f]*:\) root refcnt [0-9]* *\(.*\)/\1 \2 \3/p' |
			sed 's/ *$//; s/^\([a-z]*\) [89a-f][0-9a-f]\{3\}: /\1 auto: /' | tr -d '\n'
		printf ' | '
	done
	echo "ingress $(tc qdisc show dev d0 | grep -c '^qdisc ingress') filters $(tc filter show dev d0 ingress | grep -c ' handle ')"
}
EG='diffserv3 dual-srchost nat nowash no-ack-filter'
IN='diffserv3 dual-dsthost nat nowash ingress no-ack-filter'

# Needs sch_cake. Framed, cake counts from the network header: the 14
# bytes of d0's Ethernet header join the overhead. A rate that another
# program set keeps the cake pondrel's, and the next run changes it.
cake_scenarios() {
	section "cake mode: each run and switch of modes as tc shows it"
	# what | kernels | arguments | what tc shows after the run
	while IFS='|' read -r what kernels args want; do
		ours "$kernels" || continue
		# shellcheck disable=SC2086
		run $args
		same "cake, $what: exit 0, silent" "$st|$out|$err" "0||"
		same "cake, $what: tc shows it" "$(cake_state)" "$want"
		[ "$what" = "both directions" ] || continue
		same "cake, $what: --status reads it back" "$("$PONDREL" --status d0 | grep -v '^  ')" \
			"ingress: 20000 Kbit/s, cake through IFB ifb-d0, dual-dsthost nat, diffserv3, rtt 100 ms
egress: 10000 Kbit/s, cake, dual-srchost nat, diffserv3, rtt 100 ms"
		tc qdisc change dev ifb-d0 root cake bandwidth 5mbit
		same "cake, $what: a rate that tc set is pondrel's, at that rate" \
			"$("$PONDREL" --status d0 | sed -n 's/^ingress: \([0-9]* Kbit\/s, cake\).*/\1/p')" "5000 Kbit/s, cake"
	done <<EOF
both directions|every|--cake d0 20000 10000|cake 1: bandwidth 10Mbit $EG split-gso rtt 100ms raw overhead 0 | cake 1: bandwidth 20Mbit $IN split-gso rtt 100ms raw overhead 0 | ingress 1 filters 1
changed in place, the rate tc set too|full|--cake d0 30000 15000|cake 1: bandwidth 15Mbit $EG split-gso rtt 100ms raw overhead 0 | cake 1: bandwidth 30Mbit $IN split-gso rtt 100ms raw overhead 0 | ingress 1 filters 1
framing in cake's own fields, GSO whole from 105 Mbit/s|every|--cake --atm --overhead 44 --mpu 64 d0 200000 15000|cake 1: bandwidth 15Mbit $EG split-gso rtt 100ms atm overhead 58 mpu 64 | cake 1: bandwidth 200Mbit $IN no-split-gso rtt 100ms atm overhead 58 mpu 64 | ingress 1 filters 1
framing dropped: raw, overhead 0|full|--cake d0 30000 15000|cake 1: bandwidth 15Mbit $EG split-gso rtt 100ms raw overhead 0 | cake 1: bandwidth 30Mbit $IN split-gso rtt 100ms raw overhead 0 | ingress 1 filters 1
switched to the shaped mode|full|-s d0 10000 5000|tbf 1: rate 5Mbit burst 2500b lat 50ms | tbf 1: rate 10Mbit burst 5000b lat 50ms | ingress 1 filters 1
and back|every|--cake d0 10000 5000|cake 1: bandwidth 5Mbit $EG split-gso rtt 100ms raw overhead 0 | cake 1: bandwidth 10Mbit $IN split-gso rtt 100ms raw overhead 0 | ingress 1 filters 1
switched to the plain mode: the IFB goes|full|d0 10000 5000|tbf auto: rate 5Mbit burst 2Kb lat 50ms |  | ingress 1 filters 1
and back, ingress alone|full|--cake d0 10000 -|noqueue 0: | cake 1: bandwidth 10Mbit $IN split-gso rtt 100ms raw overhead 0 | ingress 1 filters 1
- - leaves nothing|every|--cake d0 - -|noqueue 0: |  | ingress 0 filters 0
EOF
}
