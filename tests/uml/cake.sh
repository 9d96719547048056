# The cake mode in the user-mode kernel, sourced by init.sh (it needs that
# init's run, same, reported, load, status_check, the scenarios and d0).
# cake_checks runs once the shaped mode's modules are in: refused without
# sch_cake, then the scenarios of every test kernel, and cake's status
# beside tc's. cake_traffic runs in the traffic section. No shebang: it
# never runs alone.

# Before sch_cake is loaded, and then with it.
cake_checks() {
	section "cake mode: without sch_cake"
	run --cake d0 10000 5000
	same "sch_cake missing: exit 1, each direction's refusal reported, nothing half-built" \
		"$st|$out|$(reported "$st" $T/err && sed 's/^varnic: error: netlink: //' $T/err | tr '\n' /)|$(cake_state)" \
		"1||$ENOENT_TEXT/$ENOENT_TEXT/|noqueue 0: |  | ingress 0 filters 0"
	load net/sched/sch_cake
	cake_scenarios

	run --cake d0 20000 3000
	status_check "cake mode" - d0 cake cake
	tc qdisc change dev d0 root cake besteffort
	status_check "cake with other tins" - d0 cake foreign
	# cake's rate 0 is no limit at all, whoever set it.
	run --cake d0 20000 3000
	tc qdisc change dev d0 root cake unlimited
	status_check "an unlimited cake" - d0 cake foreign
	run --cake d0 - -
}

# Through cake each way, in init.sh's traffic section: pondrel4a's v4a,
# iperf3's server in pondrel4b, and its overload check.
cake_traffic() {
	ip netns exec pondrel4a "$PONDREL" --cake v4a 1000 1000
	overload "cake mode" cake '.drops >= 1 and .cake.drops >= 1' cake
	# The largest of 10 pings of 1028 bytes of IP, as cake counts it with
	# an overhead of 0: the 1042-byte frame, as each tbf counts it.
	ip netns exec pondrel4a "$PONDREL" --cake --overhead 0 v4a 100000 100000
	ip netns exec pondrel4a busybox ping -q -c 10 -i 0.05 -s 1000 10.4.0.2 >/dev/null
	same "cake, framed: the bytes counted of a ping, egress and ingress" \
		"$(for d in v4a ifb-v4a; do tc -n pondrel4a -s -j qdisc show dev $d |
			jq -j '.[] | select(.root) | "\(.max_adj_size) "'; done)" "1042 1042 "
	# 20 changes of rate under a flow each way that stays below every rate,
	# so that cake itself has no cause to drop: a change keeps the qdisc,
	# and with it every packet and every count. A cake made anew would
	# count less than the device passed since the first.
	ip netns exec pondrel4a "$PONDREL" --cake v4a 50000 50000
	link() { ip -n pondrel4a -s -j link show dev v4a | jq -j ".[0].stats64.$1.packets"; }
	tx=$(link tx) rx=$(link rx)
	ip netns exec pondrel4a iperf3 -c 10.4.0.2 -u -b 1M -l 1000 --bidir -t 8 >$T/iperf3 2>&1 &
	sleep 1.5
	ip netns exec pondrel4a "$PONDREL" --json v4a >$T/before.json
	sts=
	for kbit in 40000 100000 50000 90000 60000 80000 70000 40000 100000 50000 \
		90000 60000 80000 70000 40000 100000 50000 90000 60000 80000; do
		ip netns exec pondrel4a "$PONDREL" --cake v4a $kbit $kbit
		sts="$sts$?"
		sleep 0.25
	done
	ip netns exec pondrel4a "$PONDREL" --json v4a >$T/after.json
	wait
	same "cake, 20 changes under a flow: each exit 0, nothing dropped" \
		"$sts $(jq -s -c '[.[1].ingress.drops - .[0].ingress.drops, .[1].egress.drops - .[0].egress.drops]' \
			$T/before.json $T/after.json)" "00000000000000000000 [0,0]"
	sleep 1
	ip netns exec pondrel4a "$PONDREL" --json v4a >$T/after.json
	same "cake, 20 changes under a flow: counted all the device passed" \
		"$(jq -c --argjson tx $(($(link tx) - tx)) --argjson rx $(($(link rx) - rx)) \
			'[.egress.packets >= $tx, .ingress.packets >= $rx]' $T/after.json)" "[true,true]"
	ip netns exec pondrel4a "$PONDREL" --cake v4a - -
}

# cake_mq on a kernel that has it (7.0 on), with a tc that knows it
# (UML_TC): a veth of four queues takes it each way, its IFB made with as
# many, and a second run or tc's own change keeps it pondrel's.
cake_mq_checks() {
	section "cake mode: cake_mq on four queues"
	ip netns add mq
	ip link add q0 numtxqueues 4 numrxqueues 4 type veth peer name q1 \
		numtxqueues 4 numrxqueues 4 netns mq
	ip addr add 10.9.0.1/24 dev q0
	ip link set q0 up
	ip -n mq addr add 10.9.0.2/24 dev q1
	ip -n mq link set q1 up
	kinds() { "$UML_TC" -j qdisc show dev "$1" | jq -j '[.[] | .kind] | join(" ")'; }
	mq_json() { "$PONDREL" --json q0 | jq -c "[.[\"ingress\", \"egress\"] | $1]"; }
	run --cake q0 20000 10000
	same "cake_mq: exit 0, silent" "$st|$err" "0|"
	same "cake_mq: one cake a queue below each root, as tc shows it" \
		"$(kinds q0)|$(kinds ifb-q0)" \
		"cake_mq cake cake cake cake ingress|cake_mq cake cake cake cake"
	same "cake_mq: pondrel's in --json, on four queues, at its rates" \
		"$(mq_json '[.kind, .limit, .queues, .rate_kbit]')" \
		'[["cake_mq","pondrel",4,20000],["cake_mq","pondrel",4,10000]]'
	same "cake_mq: the text names it" \
		"$("$PONDREL" --status q0 | grep -c '^[a-z]*: [0-9]* Kbit/s, cake on 4 queues[ ,]')" 2
	busybox ping -q -c 5 -i 0.05 10.9.0.2 >/dev/null
	run --cake q0 30000 15000
	same "cake_mq: a second run changes it in place, counters kept" \
		"$st|$err|$(mq_json '[.rate_kbit, .packets >= 5]')" \
		'0||[[30000,true],[15000,true]]'
	"$UML_TC" qdisc change dev q0 root cake_mq bandwidth 12mbit
	same "cake_mq: a rate that tc changed is still pondrel's" \
		"$(mq_json '[.limit, .rate_kbit]')" '[["pondrel",30000],["pondrel",12000]]'
	"$UML_TC" qdisc change dev q0 root cake_mq besteffort
	same "cake_mq: other tins are not pondrel's" "$(mq_json '.limit')" '["pondrel","foreign"]'
	run --cake q0 - -
	same "cake_mq: - takes both away, the IFB too" \
		"$st|$(kinds q0)|$(ip link show ifb-q0 2>&1 | grep -c 'does not exist')" "0|noqueue|1"
	ip netns del mq
}
