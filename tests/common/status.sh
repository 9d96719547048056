# The status view judged against iproute2 on the same kernel, sourced by the
# test kernels' inits after checks.sh (it needs same, PONDREL, T and fails).
# It needs jq, and tc and ip from iproute2. tc's JSON serves where it is
# valid; its police action's counters and rate come only as text.
#   status_check WHAT NETNS|- IFACE INGRESS EGRESS
# INGRESS and EGRESS name what should hold the direction: none, policed,
# shaped, cake, or foreign; for ingress also foreign-ifb, a redirect to the IFB
# whose qdiscs are not pondrel's. pondrel's own text and JSON are read back
# to back with tc, so that the counters match within one packet even after
# traffic.
# shellcheck disable=SC2086 # $T is the inits' scratch directory, no blanks

in_netns() { # NETNS|- COMMAND...: the command in that namespace, or here
	ns=$1
	shift
	if [ "$ns" = - ]; then "$@"; else ip netns exec "$ns" "$@"; fi
}

# One line per direction from pondrel's JSON: state, kind, rate in bytes/s,
# queue in microseconds, and the counters; the bucket and the IFB apart.
status_line() { # DIRECTION
	jq -r --arg d "$1" '.[$d] | if .limit == "none" then "none"
		else [if .limit == "foreign" then "foreign" else .mode end,
		(.kind | gsub(" "; "_")), ((.rate_kbit // 0) * 125 | round),
		((.queue_ms // 0) * 1000 | round),
		.bytes, .packets, .drops, .overlimits] | join(" ") end' \
		$T/status.json
}

# The same from tc's JSON of a root qdisc, or "none" for the kernel's own;
# a tbf that is not pondrel's is named with its child's kind, if any.
tc_root_line() { # FILE WANT
	jq -r --arg w "$2" '[.[] | select(.parent and .kind != "ingress") | .kind] as $c |
		.[] | select(.root) |
		if .handle == "0:" then "none"
		else [$w, .kind + (if $w == "foreign" and .kind == "tbf" and $c != []
			then "_with_" + $c[0] else "" end),
		(if $w == "foreign" then 0 else .options.rate // .options.bandwidth end),
		(if $w == "foreign" then 0 else .options.lat // 0 end),
		.bytes, .packets, .drops, .overlimits] | join(" ") end' "$1"
}

# The police action from tc's text: rate in bytes/s and the counters.
tc_police_line() { # WANT
	sed -n 's/.* police 0x[0-9a-f]* rate \([0-9.]*\)\([KMG]*\)bit .*/\1 \2/p
		s/.*Sent \([0-9]*\) bytes \([0-9]*\) pkts (dropped \([0-9]*\), overlimits \([0-9]*\)).*/\1 \2 \3 \4/p' \
		$T/filters.txt | tr '\n' ' ' | awk -v w="$1" '{
		m = $2 == "K" ? 1e3 : $2 == "M" ? 1e6 : $2 == "G" ? 1e9 : 1
		if (NF == 5) { $6 = $5; $5 = $4; $4 = $3; $3 = $2; m = 1 }
		print w, "basic_police", (w == "foreign" ? 0 : $1 * m / 8), 0, $3, $4, $5, $6 }'
}

# The fair queue below a direction's tbf, from pondrel's JSON and from
# tc's of the device, with what no field of it gives as "none": kind,
# limits, ECN, the counters, and its times in microseconds.
fair_queue_line() { # DIRECTION
	jq -r --arg d "$1" '.[$d].fair_queue // "none" | if . == "none" then .
		else [.kind, .limit_packets, .memory_limit_bytes, .ecn, .bytes,
		.packets, .drops, (.target_ms * 1000 | round),
		(.interval_ms * 1000 | round), .ecn_marks, .new_flows] | join(" ") end' \
		$T/status.json
}
tc_fair_queue_line() { # FILE
	jq -r '[.[] | select(.parent and .kind != "ingress")] |
		if . == [] then "none" else .[0] | [.kind, .options.limit,
		.options.memory_limit, .options.ecn // false, .bytes, .packets,
		.drops, .options.target, .options.interval, .ecn_mark,
		.new_flow_count] | join(" ") end' "$1"
}

# A cake's settings and figures, from pondrel's JSON and from tc's of the
# device: isolation, NAT, tins, rtt in microseconds, then over its tins the
# drops, ECN marks and backlog, and the busiest tin's delay and peak.
cake_line() { # DIRECTION
	jq -r --arg d "$1" '.[$d] | [.isolation, .nat, .diffserv,
		(.rtt_ms * 1000 | round), .cake.drops, .cake.ecn_marks,
		.cake.backlog_bytes, (.cake.delay_ms * 1000 | round),
		(.cake.peak_delay_ms * 1000 | round)] | join(" ")' $T/status.json
}
tc_cake_line() { # FILE
	jq -r '.[] | select(.root) | [.options.flowmode, .options.nat,
		.options.diffserv, .options.rtt, ([.tins[].drops] | add),
		([.tins[].ecn_mark] | add), ([.tins[].backlog_bytes] | add),
		([.tins[].avg_delay_us] | max), ([.tins[].peak_delay_us] | max)] |
		join(" ")' "$1"
}
# Both delays are moving averages that move only as a packet leaves.
cake_check() { # WHAT FILE DIRECTION
	same_counters "$1: cake as tc shows it" "$(cake_line "$3")" \
		"$(tc_cake_line "$2")" "0 0 0 0 1 1 1514 500 500"
}

# Counters read one after the other may differ by what arrived between:
# one packet, its bytes, and a drop or an overlimit for it. TOLERANCES,
# one a field, replace that rule.
same_counters() { # WHAT GOT WANT [TOLERANCES]
	same "$1" "$(awk -v g="$2" -v w="$3" -v t="${4:-}" 'BEGIN {
		n = split(g, a, " ")
		if (n != split(w, b, " ")) { print g; exit }
		split(t, tols, " ")
		for (i = 1; i <= n; i++) {
			tol = t != "" ? tols[i] : i == 5 ? 1514 : i > 5 ? 1 : 0
			d = a[i] - b[i]
			if (a[i] != b[i] && (a[i] "" != a[i] + 0 "" || d * d > tol * tol)) {
				print g
				exit
			}
		}
		print w }')" "$3"
}

# The kernel keeps fq_codel's times in units of 1.024 us and gives them
# back up to 2 us short; pondrel shows what it sent.
fair_queue_check() { # WHAT FILE DIRECTION
	same_counters "$1: the fair queue as tc shows it" \
		"$(fair_queue_line "$3")" "$(tc_fair_queue_line "$2")" \
		"0 0 0 0 1514 1 1 2 2 1 1"
}

status_check() { # WHAT NETNS|- IFACE INGRESS EGRESS
	st=0
	in_netns "$2" "$PONDREL" --json "$3" >$T/status.json 2>$T/err || st=$?
	in_netns "$2" tc -s -j qdisc show dev "$3" >$T/qdiscs.json
	in_netns "$2" tc -s filter show dev "$3" ingress >$T/filters.txt
	in_netns "$2" "$PONDREL" --status "$3" >$T/status.txt 2>>$T/err || st=$?
	same "$1: both forms exit 0, silent on stderr" "$st|$(cat $T/err)" "0|"
	# A JSON that does not parse leaves jq's complaint here instead.
	same "$1: the text says what the JSON says" \
		"$(sed -n 's/^\([a-z]*\): not set by pondrel: \(.*\)/\1 foreign \2/p
			s/^\([a-z]*\): none$/\1 none/p
			s/^\([a-z]*\): \([0-9.]*\) Kbit\/s, \([a-z]*\).*/\1 \3 \2/p' $T/status.txt | tr '\n' ' ')" \
		"$(jq -j '["ingress", "egress"][] as $d | .[$d] | "\($d) \(
			if .limit == "pondrel" then "\(.mode) \(.rate_kbit)"
			elif .limit == "foreign" then "foreign \(.kind)" else "none" end) "' $T/status.json 2>&1)"

	case $5 in
	shaped) bucket=$(jq '.[] | select(.root) | .options.burst' $T/qdiscs.json) ;;
	*) bucket= ;;
	esac
	same_counters "$1: egress as tc shows it" "$(status_line egress)" \
		"$(tc_root_line $T/qdiscs.json "$5")"
	[ "$5" != shaped ] || fair_queue_check "$1: egress" $T/qdiscs.json egress
	[ "$5" != cake ] || cake_check "$1: egress" $T/qdiscs.json egress

	case $4 in
	none)
		want=$(jq -r 'if any(.[]; .kind == "ingress") then "ingress qdisc" else "none" end' $T/qdiscs.json)
		;;
	policed | foreign)
		want=$(tc_police_line "$4")
		;;
	shaped | cake | foreign-ifb)
		in_netns "$2" tc -j filter show dev "$3" ingress >$T/filters.json
		ifb=$(jq -r '.[] | .options.actions[0]? | select(.kind == "mirred") | .to_dev' $T/filters.json)
		# pondrel names the IFB only of a limit it claims.
		same "$1: the IFB is the redirect's target and carries the mark" \
			"$(jq -r '.ingress.ifb // "unnamed"' $T/status.json) $(in_netns "$2" ip -j link show dev "$ifb" | jq -r '.[0].ifalias')" \
			"$([ "$4" != foreign-ifb ] && echo "$ifb" || echo unnamed) pondrel ingress of $3"
		in_netns "$2" tc -s -j qdisc show dev "$ifb" >$T/ifb.json
		want=$(tc_root_line $T/ifb.json "${4%-ifb}")
		[ "$4" != cake ] || cake_check "$1: ingress" $T/ifb.json ingress
		[ "$4" != shaped ] || {
			fair_queue_check "$1: ingress" $T/ifb.json ingress
			bucket="$bucket $(jq '.[] | select(.root) | .options.burst' $T/ifb.json)"
		}
		;;
	esac
	same_counters "$1: ingress as tc shows it" "$(status_line ingress)" "$want"
	# tc works the bucket out of its time at the rate and truncates, to a
	# whole microsecond. With framing that time is what a packet of the
	# bucket's size costs on the link: with the overhead, at least the
	# least unit, in whole ATM cells.
	got=$(jq -j '.[] | objects | select(.mode == "shaped") |
		([.bucket_bytes + (.overhead_bytes // 0), (.mpu_bytes // 0)] | max) as $l |
		"\(if .atm then (($l + 47) / 48 | floor) * 53 else $l end):\(.rate_kbit / 8000) "' $T/status.json)
	for b in $bucket; do
		same "$1: bucket within a byte and a microsecond of tc's $b" \
			"$(echo "$got" | awk -v b="$b" '{ for (i = 1; i <= NF; i++) { split($i, g, ":")
				if (g[1] - b <= 1 + g[2] && b - g[1] <= 1 + g[2]) { print "near"; exit } } }')" near
	done
}
