# The controller of a rate range in the user-mode kernel, sourced by
# init.sh (it needs that init's PONDREL, T, same and fails; no shebang, as
# it never runs alone). A router's ar0 (two queues, so cake_mq) reaches a
# server through a "modem" whose tbfs hold its capacity each way behind a
# deep buffer; the server answers the controller's pings. The capacity
# halves under load and comes back, and the controller's rate follows.

# The router's link to the modem: made at the start, and again after it
# went away under the controller.
router_link() {
	ip link add ar0 numtxqueues 2 numrxqueues 2 netns ar type veth peer name am0 netns am
	ip -n ar addr add 10.8.1.1/24 dev ar0
	ip -n am addr add 10.8.1.2/24 dev am0
	ip -n ar link set ar0 up
	ip -n am link set am0 up
	ip -n ar route add default via 10.8.1.2
}

auto_up() {
	for n in ar am as; do ip netns add $n; done
	router_link
	ip link add am1 netns am type veth peer name as0 netns as
	ip -n am addr add 10.8.2.1/24 dev am1
	ip -n as addr add 10.8.2.2/24 dev as0
	ip -n am link set am1 up
	ip -n as link set as0 up
	ip -n as route add default via 10.8.2.1
	ip netns exec am sysctl -q -w net.ipv4.ip_forward=1
	capacity add 8mbit
	ip netns exec as iperf3 -s -D -B 10.8.2.2 -I $T/auto-iperf3.pid
}

# The modem's capacity each way, with 500 ms of its buffer at 4 Mbit/s.
capacity() { # add|change RATE
	for d in am0 am1; do
		tc -n am qdisc "$1" dev $d root handle 1: tbf rate "$2" burst 10k limit 250k
	done
}

# The rates in force on ar0, Kbit/s, ingress then egress.
auto_rates() {
	ip netns exec ar "$PONDREL" --json ar0 | jq -j '"\(.ingress.rate_kbit) \(.egress.rate_kbit)"'
}

# Polls every half second until both rates pass TEST, at most SECS; prints
# the seconds taken, or "never" with the rates last seen.
auto_until() { # SECS AWK-TEST
	i=0
	while [ $i -lt $(($1 * 2)) ]; do
		r=$(auto_rates)
		if echo "$r" | awk "{ exit !($2) }"; then
			echo "$((i / 2)) s"
			return
		fi
		sleep 0.5
		i=$((i + 1))
	done
	echo "never: $r"
}

# The median ping in ms over COUNT pings a fifth of a second apart; one
# that is not answered counts as 5000 ms, as the bench counts it.
auto_ping() { # COUNT
	ip netns exec ar busybox ping -c "$1" -i 0.2 10.8.2.2 |
		sed -n 's/.*time=\([0-9.]*\) ms/\1/p' |
		awk -v n="$1" '{ print } END { for (k = NR; k < n; k++) print 5000 }' |
		sort -n | awk '{ a[NR] = $1 } END { print int(a[int((NR + 1) / 2)]) }'
}

# Ends the controller with SIGTERM; its exit status in st.
stop_auto() {
	kill $auto
	st=0
	wait $auto || st=$?
}

# A check that the rates pass TEST within SECS, with the time it took.
followed() { # WHAT SECS AWK-TEST
	took=$(auto_until "$2" "$3")
	echo "    $took"
	same "$1" "$(echo "$took" | sed 's/^[0-9]* s$/in time/')" "in time"
}

auto_checks() {
	section "a rate range: the controller follows the link"
	auto_up
	idle=$(auto_ping 10)
	ip netns exec ar "$PONDREL" --cake --reflector 10.8.2.2 ar0 1000-16000 1000-16000 \
		2>$T/auto.err &
	auto=$!
	sleep 1
	same "a range: cake_mq at the least rate until it is loaded" \
		"$(auto_rates) $(ip netns exec ar "$PONDREL" --json ar0 | jq -j .egress.kind)" \
		"1000 1000 cake_mq"
	same "a range: --json and the text show the ranges and the reflector" \
		"$(ip netns exec ar "$PONDREL" --json ar0 | jq -c '.auto | [.egress.min_kbit,
			.ingress.max_kbit, (.reflectors[] | [.address, .state, .timestamps])]')
$(ip netns exec ar "$PONDREL" --status ar0 | grep '^auto:' | sed 's/delay [0-9.]* ms/delay D/g')" \
		'[1000,16000,["10.8.2.2","answering",true]]
auto: egress 1000-16000 Kbit/s, delay D, ingress 1000-16000 Kbit/s, delay D, 1 of 1 reflectors answering'
	ip netns exec ar timeout 110 iperf3 -c 10.8.2.2 --bidir -t 95 >/dev/null 2>&1 &
	load=$!
	started=$(date +%s)
	followed "a range, loaded on 8 Mbit/s: both rates up past 5000 Kbit/s" 25 \
		'$1 > 5000 && $2 > 5000'
	capacity change 4mbit
	followed "the capacity halved: both rates cut to 4400 Kbit/s or less" 10 \
		'$1 <= 4400 && $2 <= 4400'
	# The delay back under the controller's threshold, in the first of
	# up to 8 bursts of 10 pings: a guest that the host starves drains
	# the modem later, but one that never cuts stays 500 ms behind it.
	i=0
	while :; do
		ping=$(auto_ping 10)
		i=$((i + 1))
		[ $((ping - idle)) -ge 15 ] && [ $i -lt 8 ] || break
	done
	echo "    the ping's median under load: $ping ms in burst $i, idle $idle ms"
	same "the capacity halved: the ping's median under 15 ms above idle" \
		"$((ping - idle < 15))" 1
	capacity change 8mbit
	followed "the capacity back: both rates up past 5000 Kbit/s again" 25 \
		'$1 > 5000 && $2 > 5000'
	# The controller's own CPU, in the guest's ticks of 10 ms.
	cpu=$(awk -v s=$(($(date +%s) - started)) '{ printf "%.2f", ($14 + $15) / s }' /proc/$auto/stat)
	echo "    the controller's CPU under load: $cpu % of the guest's one"
	# Counted in ticks of 10 ms, it varies from run to run: a bound, not the target.
	same "the controller under 5 % of the guest's CPU" "$(echo "$cpu" | awk '{ print ($1 < 5) }')" 1
	# A link that goes away, as on a reconnect, is waited for.
	ip -n ar link del ar0
	sleep 2
	router_link
	tc -n am qdisc add dev am0 root handle 1: tbf rate 8mbit burst 10k limit 250k
	followed "the link gone and back: the controller's limits again" 10 \
		'$1 >= 1000 && $2 >= 1000'
	# The line follows the limits by a moment: it is waited for, not raced.
	i=0
	while [ $i -lt 10 ] && [ "$(grep -c -e 'ar0: gone: waiting for it$' \
		-e 'ar0: back: limits set up again$' $T/auto.err)" -lt 2 ]; do
		sleep 0.5
		i=$((i + 1))
	done
	same "the link gone and back: one line each" \
		"$(grep -c -e 'ar0: gone: waiting for it$' -e 'ar0: back: limits set up again$' $T/auto.err)" 2
	: >$T/auto.err
	stop_auto
	same "SIGTERM: exit 0, both at the least rate, nothing said, nothing shared" \
		"$st $(auto_rates) $(ip netns exec ar "$PONDREL" --json ar0 | jq -c .auto) $(cat $T/auto.err)" \
		"0 1000 1000 null "
	# Another run's limit in place of the controller's own: it stops.
	ip netns exec ar "$PONDREL" --cake --reflector 10.8.2.2 ar0 1000-16000 - \
		2>$T/auto.err &
	auto=$!
	sleep 3
	ip netns exec ar "$PONDREL" --cake ar0 - 3000
	i=0
	while kill -0 $auto 2>/dev/null && [ $i -lt 40 ]; do sleep 0.5; i=$((i + 1)); done
	st=0
	kill $auto 2>/dev/null && st=killed || wait $auto || st=$?
	same "another run's limit: the controller says so and exits 1" \
		"$st $(cat $T/auto.err)" "1 varnic: error: another run replaced the limit"
	# No reflector answers: the least rate holds under load. SIGHUP rereads
	# the file (a new least rate is said again), and SIGTERM removes the
	# limits where asked.
	ip netns exec ar "$PONDREL" --cake --reflector 10.8.9.9 --config $T/auto.conf \
		--remove-on-exit ar0 1000-16000 1000-16000 2>$T/auto.err &
	auto=$!
	sleep 6
	same "no reflector answers: the least rate under load" "$(auto_rates)" "1000 1000"
	printf '# reread\nINGRESS=2000-16000\n EGRESS="3000"\nOPTIONS=--cake --reflector 10.8.9.8 -v\n' >$T/auto.conf
	kill -HUP $auto
	sleep 2
	same "SIGHUP: the file's range, rate and reflector in force" \
		"$(auto_rates) $(ip netns exec ar "$PONDREL" --json ar0 | jq -c '[.auto.ingress.min_kbit, .auto.egress.max_kbit, .auto.reflectors[].address]') $(head -n 1 $T/auto.err)" \
		"2000 3000 [2000,3000,\"10.8.9.8\"] pondrel: ar0: $T/auto.conf reread"
	printf 'INGRESS=-\nEGRESS=3000\n' >$T/auto.conf
	: >$T/auto.err
	kill -HUP $auto
	sleep 1
	same "SIGHUP: a file that would remove a queue is refused" "$(auto_rates) $(cat $T/auto.err)" \
		"2000 3000 pondrel: ar0: $T/auto.conf: INGRESS=-: kept as it was"
	stop_auto
	same "--remove-on-exit: SIGTERM leaves no limit" \
		"$st $(ip netns exec ar "$PONDREL" --json ar0 | jq -c '[.ingress.kind, .egress.kind]') $(ip -n ar -o link show type ifb | wc -l)" \
		"0 [null,null] 0"
	kill $load 2>/dev/null || :
	wait $load || :
	kill "$(cat $T/auto-iperf3.pid)"
	for n in ar am as; do ip netns del $n; done
}
