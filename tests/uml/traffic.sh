# Traffic through pondrel's limits inside the user-mode kernel, sourced by
# init.sh (it needs that init's PONDREL, T, same and fails; no shebang, as
# it never runs alone). Two namespaces are joined by a veth pair; pondrel
# limits v4a, where the iperf3 client runs: egress is the client sending,
# ingress the server sending (-R). A longer round trip comes from netem on
# v4b, the far end, so that the limit under test stays alone on v4a.

traffic_up() {
	ip netns add pondrel4a
	ip netns add pondrel4b
	ip link add v4a netns pondrel4a type veth peer name v4b netns pondrel4b
	ip -n pondrel4a addr add 10.4.0.1/24 dev v4a
	ip -n pondrel4b addr add 10.4.0.2/24 dev v4b
	ip -n pondrel4a link set v4a up
	ip -n pondrel4b link set v4b up
	ip netns exec pondrel4b iperf3 -s -D -B 10.4.0.2 -I $T/iperf3.pid
}

traffic_down() {
	kill "$(cat $T/iperf3.pid)"
	ip netns del pondrel4a
	ip netns del pondrel4b
}

limit() { # DIRECTION KBIT|- [OPTION]: that direction's limit on v4a, the other none
	if [ "$1" = egress ]; then
		ip netns exec pondrel4a "$PONDREL" ${3:-} v4a - "$2"
	else
		ip netns exec pondrel4a "$PONDREL" ${3:-} v4a "$2" -
	fi
}

# netem on v4b's root delays only what v4b sends: the data of an ingress
# run, the acknowledgements of an egress run. Either way a delay of D adds
# D to the round trip, so D is the round trip added, not a one-way delay.
# 0 means no netem at all, the bare pair.
delay() { # MS
	if tc -n pondrel4b qdisc show dev v4b | grep -q '^qdisc netem'; then
		tc -n pondrel4b qdisc del dev v4b root
	fi
	if [ "$1" != 0 ]; then
		# A queue of 100000 packets: netem itself must drop nothing.
		tc -n pondrel4b qdisc add dev v4b root netem delay "$1ms" limit 100000
	fi
}

rtt() { # the idle round trip in ms, the mean of five pings
	ip netns exec pondrel4a busybox ping -q -c 5 -i 0.2 10.4.0.2 |
		sed -n 's|^round-trip min/avg/max = [^/]*/\([^/]*\)/.*|\1|p'
}

# The receiver's Kbit/s over SECS after OMIT seconds left out, or nothing
# when three tries gave no figure. A run that hangs is cut off by timeout.
goodput() { # DIRECTION SECS OMIT
	reverse=
	[ "$1" = ingress ] && reverse=-R
	for _ in 1 2 3; do
		g=$(timeout $(($2 + $3 + 20)) ip netns exec pondrel4a \
			iperf3 -c 10.4.0.2 -t "$2" -O "$3" -f k $reverse 2>&1 |
			awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Kbits/sec") print int($i) }')
		[ -n "$g" ] && break
		sleep 1 # the server may still be starting
	done
	echo "${g:-}"
}

# The goodput of goodput() and the mean round trip in ms of pings sent
# while it runs, after its first OMIT + 1 s, through the same limit: what
# the limit's queue adds under load shows there ("-" when none came back).
measure() { # DIRECTION SECS OMIT
	(sleep $(($3 + 1)); ip netns exec pondrel4a busybox ping -q -c 8 -i 0.2 \
		-w $(($2 + 2)) 10.4.0.2) >$T/loaded 2>&1 &
	pinger=$!
	g=$(goodput "$@")
	wait $pinger || true
	p=$(sed -n 's|^round-trip min/avg/max = [^/]*/\([^/]*\)/.*|\1|p' $T/loaded)
	echo "${g:--} ${p:--}"
}

# What this kernel lacks of what scripts/demo.sh needs, as the names of the
# modules that would bring it, on one line (nothing when it has it all):
# the parts of pondrel's three modes, fq_codel, which the shaped mode is
# to queue with, and netem for the demo's round trip. tc asks the kernel
# itself, which on a stock kernel also loads what a request names. Run it
# in a network namespace of its own: it leaves its devices there.
lacks() {
	if ! ip link add p0 type veth peer name p1 2>/dev/null; then
		echo veth
		return
	fi
	ip link set p0 up
	ip link set p1 up
	# module | the request that needs it
	while IFS='|' read -r module request; do
		# shellcheck disable=SC2086 # one word per argument
		$request >/dev/null 2>&1 || printf '%s ' "$module"
	done <<'EOF'
sch_tbf|tc qdisc add dev p0 root tbf rate 1mbit burst 2k latency 50ms
sch_ingress|tc qdisc add dev p0 ingress
cls_basic|tc filter add dev p0 parent ffff: protocol all basic classid 1:1
act_police|tc actions add action police rate 1mbit burst 10k drop
act_mirred|tc actions add action mirred egress redirect dev p1
ifb|ip link add ifb-p0 type ifb
sch_fq_codel|tc qdisc add dev p1 root fq_codel
sch_netem|tc qdisc add dev p1 parent root netem delay 20ms
sch_cake|tc qdisc replace dev p0 root cake bandwidth 1mbit
EOF
	echo
}

# What scripts/demo.sh shows: the three modes with a limit of KBIT each way
# at a round trip of RTT ms, each direction's goodput and ping under load, the
# status after each mode, and the removal. A refusal or a run without a
# figure counts in $fails.
traffic_demo() { # KBIT RTT
	traffic_up
	delay "$2"
	idle=$(rtt)
	echo "a veth pair v4a-v4b between two namespaces, $2 ms added to the round trip (netem on v4b);"
	echo "pondrel limits v4a to $1 Kbit/s each way; iperf3 runs 3 s per row, after 1 s left out"
	for opt in "" --shape --cake; do
		echo
		echo "\$ pondrel $opt${opt:+ }v4a $1 $1"
		# shellcheck disable=SC2086 # no option is no word
		if ! ip netns exec pondrel4a "$PONDREL" $opt v4a "$1" "$1"; then
			echo "FAIL - pondrel refused"
			fails=$((fails + 1))
		fi
		printf '  %-9s %14s %7s %14s %7s\n' direction "goodput Kbit/s" "of set" "ping ms: idle" loaded
		for dir in egress ingress; do
			measure $dir 3 1 >$T/measured
			read -r g p <$T/measured
			if [ "$g" = - ]; then
				echo "FAIL - $dir: iperf3 gave no figure"
				fails=$((fails + 1))
				continue
			fi
			awk -v d=$dir -v g="$g" -v set="$1" -v i="${idle:--}" -v p="$p" 'BEGIN {
				printf "  %-9s %14d %6d%% %14s %7s\n", d, g, 100 * g / set,
					i == "-" ? i : sprintf("%.1f", i), p == "-" ? p : sprintf("%.1f", p) }'
		done
		echo "\$ pondrel --status v4a"
		ip netns exec pondrel4a "$PONDREL" --status v4a
	done
	echo
	echo "\$ pondrel v4a - -"
	ip netns exec pondrel4a "$PONDREL" v4a - - || fails=$((fails + 1))
	echo "\$ pondrel --status v4a"
	ip netns exec pondrel4a "$PONDREL" --status v4a
	traffic_down
}
