# The load tests of bench/load.sh inside the user-mode kernel, sourced by
# init.sh under UML_MODE=load after traffic.sh (it needs that init's
# PONDREL, T, same and fails, and traffic.sh's pair; no shebang, as it never
# runs alone). flent's rrul_be runs in pondrel4a against netserver in
# pondrel4b, through a limit on v4a; the NAT bench puts two hosts behind a
# router namespace. Every run appends a line to a table in $UML_OUT, and
# $UML_OUT/load.conf, written by bench/load.sh, may replace the plan.

# Loads modules by name with what modules.dep says each needs first;
# one already loaded or built in is left alone.
load_mods() {
	dir=$mods
	for name; do
		line=$(grep "/$name.ko:" "$dir/modules.dep") || {
			[ -d "/sys/module/$name" ] && continue
			echo "FAIL - module $name is not in modules.dep"
			exit 1
		}
		# The needed ones, last needed first, then the module itself.
		for f in $(echo "${line#*:}" | tr ' ' '\n' | sed '/^$/d' | tac) "${line%%:*}"; do
			m=$(basename "$f" .ko)
			[ -d "/sys/module/$(echo "$m" | tr - _)" ] && continue
			busybox insmod "$dir/$f" || {
				echo "FAIL - module $m cannot be loaded"
				exit 1
			}
		done
	done
}

# The guest's CPU use, from its /proc/stat: "busy total" in jiffies, and the
# percentage busy between two such readings. A figure near 100 says the
# user-mode kernel's one CPU, not the limit, set the pace.
cpu_now() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8; exit }' /proc/stat; }
cpu_busy() { # "BUSY TOTAL" before
	# shellcheck disable=SC2046,SC2086 # four figures, a word each
	set -- $1 $(cpu_now)
	awk -v b="$1" -v t="$2" -v B="$3" -v T="$4" 'BEGIN { printf "%d", (T > t ? 100 * (B - b) / (T - t) : 0) }'
}

# Cake made with tc alone, for comparison: the same places as --cake, on an
# IFB of its own name. $cake_egress and $cake_ingress hold its keywords.
hand_cake() { # NS DEV IN OUT
	n="ip netns exec $1"
	# shellcheck disable=SC2086 # one word per keyword
	$n tc qdisc replace dev "$2" root cake bandwidth "${4}kbit" $cake_egress
	$n ip link add "hc-$2" type ifb
	$n ip link set "hc-$2" up
	# shellcheck disable=SC2086
	$n tc qdisc replace dev "hc-$2" root cake bandwidth "${3}kbit" $cake_ingress
	$n tc qdisc add dev "$2" handle ffff: ingress
	$n tc filter add dev "$2" parent ffff: protocol all matchall \
		action mirred egress redirect dev "hc-$2"
}

# Takes every limit off DEV, pondrel's and the hand-made one's.
unlimit() { # NS DEV
	ip netns exec "$1" "$PONDREL" "$2" - - || true
	ip netns exec "$1" tc qdisc del dev "$2" root 2>/dev/null || true
	ip netns exec "$1" ip link del "hc-$2" 2>/dev/null || true
}

# Sets MODE's limit on DEV in namespace NS: plain, shaped (-s), cake
# (--cake) or hand (cake by hand); IN and OUT in Kbit/s.
limit_mode() { # NS DEV MODE IN OUT
	unlimit "$1" "$2"
	case $3 in
	plain) ip netns exec "$1" "$PONDREL" "$2" "$4" "$5" ;;
	shaped) ip netns exec "$1" "$PONDREL" -s "$2" "$4" "$5" ;;
	cake) if [ "$cake_by" = hand ]; then
		hand_cake "$1" "$2" "$4" "$5"
	else
		ip netns exec "$1" "$PONDREL" --cake "$2" "$4" "$5"
	fi ;;
	hand) hand_cake "$1" "$2" "$4" "$5" ;;
	esac
}

# What a mode's cake was given, for the tables: "-" for the others.
mode_opts() { # MODE
	case $1 in
	hand) echo "$cake_egress / $cake_ingress" | tr ' ' _ ;;
	*) echo - ;;
	esac
}

# The idle round trip's median in ms over 20 pings.
idle_rtt() { # NS ADDRESS
	ip netns exec "$1" fping -C 20 -p 100 -q "$2" 2>&1 |
		sed 's/.* : //' | tr ' ' '\n' | grep -v '^-$' | sort -n |
		awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# One flent rrul_be of $len s through MODE at IN/OUT Kbit/s with RTT ms of
# round trip; a line in $UML_OUT/rrul.tsv and the data file in
# $UML_OUT/flent/. TAG names the series (rrul or sweep).
rrul() { # TAG MODE IN OUT RTT
	delay "$5"
	if ! limit_mode pondrel4a v4a "$2" "$3" "$4"; then
		echo "FAIL - $2 $3/$4 Kbit/s: the limit was refused"
		fails=$((fails + 1))
		return
	fi
	idle=$(idle_rtt pondrel4a 10.4.0.2)
	name="$1-$2-$3-$4-$5"
	rm -rf "$T/flent"
	mkdir -p "$T/flent" "$UML_OUT/flent"
	echo "$name: limit set, idle round trip $idle ms; flent runs $len s"
	c=$(cpu_now)
	# A line every 20 s for the watchdog while flent runs, which a flent
	# that hangs cannot keep up past its timeout.
	(while sleep 20; do echo "$name: flent running"; done) &
	ticker=$!
	ip netns exec pondrel4a timeout $((len + 60)) flent "$flent_test" -H 10.4.0.2 \
		-l "$len" -D "$T/flent" -t "$name" >"$T/flent.log" 2>&1 || true
	kill $ticker
	busy=$(cpu_busy "$c")
	f=$(find "$T/flent" -name "*.flent.gz" | head -n 1)
	if [ -z "$f" ]; then
		echo "FAIL - $name: flent wrote no data"
		tail -n 5 "$T/flent.log"
		fails=$((fails + 1))
		return
	fi
	cp "$f" "$UML_OUT/flent/$name.flent.gz"
	# While the TCP flows run, less their first 2 s, which their start
	# takes (flent starts them after a delay, and pings before and after
	# them for as long): the mean of both sums, and the ping's median and
	# 99th percentile.
	r=$(python3 - "$f" <<'EOF'
import gzip, json, sys
d = json.load(gzip.open(sys.argv[1]))
x, res, m = d["x_values"], d["results"], d["metadata"]
delay = (m["TOTAL_LENGTH"] - m["LENGTH"]) / 2
def after(name):
    return [v for t, v in zip(x, res[name])
            if v is not None and delay + 2 <= t <= delay + m["LENGTH"]]
def mean(v):
    return sum(v) / len(v) if v else 0
p = sorted(after("Ping (ms) ICMP"))
q = lambda f: p[min(len(p) - 1, int(f * len(p)))] if p else -1
print("%d %d %.2f %.2f" % (1000 * mean(after("TCP download sum")),
                          1000 * mean(after("TCP upload sum")), q(0.5), q(0.99)))
EOF
)
	# shellcheck disable=SC2086 # four figures, a word each
	set -- "$@" $r
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" \
		"$6" "$7" "$idle" "$8" "$9" "$busy" "$(mode_opts "$2")" >>"$UML_OUT/rrul.tsv"
	echo "$name: down $6 up $7 Kbit/s, ping idle $idle, loaded median $8 p99 $9 ms, CPU $busy %"
}

# The two hosts behind NAT: lnA (10.5.0.2) and lnB (10.5.0.3) on a bridge
# in the router lnR (10.5.0.1), whose wan0 (10.6.0.1) masquerades towards
# the server lnS (10.6.0.2), which adds the round trip with netem.
nat_up() { # RTT
	load_mods bridge nf_conntrack nf_nat iptable_nat xt_MASQUERADE
	for ns in lnA lnB lnR lnS; do ip netns add $ns; done
	ip -n lnR link add br0 type bridge
	for h in A B; do
		ip link add v$h netns ln$h type veth peer name p$h netns lnR
		ip -n lnR link set p$h master br0 up
		ip -n ln$h link set v$h up
	done
	ip -n lnA addr add 10.5.0.2/24 dev vA
	ip -n lnB addr add 10.5.0.3/24 dev vB
	ip -n lnR addr add 10.5.0.1/24 dev br0
	ip -n lnR link set br0 up
	ip link add wan0 netns lnR type veth peer name wan1 netns lnS
	ip -n lnR addr add 10.6.0.1/24 dev wan0
	ip -n lnS addr add 10.6.0.2/24 dev wan1
	ip -n lnR link set wan0 up
	ip -n lnS link set wan1 up
	for h in A B; do ip -n ln$h route add default via 10.5.0.1; done
	ip netns exec lnR sysctl -qw net.ipv4.ip_forward=1
	ip netns exec lnR iptables-legacy -t nat -A POSTROUTING -o wan0 -j MASQUERADE
	[ "$1" = 0 ] || tc -n lnS qdisc add dev wan1 root netem delay "$1ms" limit 100000
	for p in 5201 5202; do
		ip netns exec lnS iperf3 -s -D -p $p -B 10.6.0.2 -I $T/nat$p.pid
	done
	sleep 1
}

nat_down() {
	for p in 5201 5202; do kill "$(cat $T/nat$p.pid)" 2>/dev/null || true; done
	for ns in lnA lnB lnR lnS; do ip netns del $ns; done
}

# The receiver's Kbit/s of one iperf3 client: the sum of its flows.
nat_flows() { # HOST PORT FLOWS REVERSE
	ip netns exec ln$1 timeout $((len + 30)) iperf3 -c 10.6.0.2 -p "$2" -P "$3" \
		-t "$len" -O 3 -f k $4 2>&1 |
		awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Kbits/sec") g = int($i) } END { print g + 0 }'
}

# Host A with 8 flows and host B with one at once, downloads then uploads,
# through MODE at RATE each way on WHERE: wan (the router's wan0, the
# interface that faces the internet) or lan (its br0, facing the hosts,
# where the directions swap). A line per direction in $UML_OUT/nat.tsv.
nat() { # MODE WHERE RATE
	dev=wan0
	[ "$2" = lan ] && dev=br0
	if ! limit_mode lnR $dev "$1" "$3" "$3"; then
		echo "FAIL - NAT $1 on $2: the limit was refused"
		fails=$((fails + 1))
		return
	fi
	for dir in down up; do
		r=
		[ $dir = down ] && r=-R
		c=$(cpu_now)
		nat_flows A 5201 8 "$r" >$T/natA &
		a=$!
		nat_flows B 5202 1 "$r" >$T/natB
		wait $a
		busy=$(cpu_busy "$c")
		ga=$(cat $T/natA) gb=$(cat $T/natB)
		printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" $dir "$ga" "$gb" "$busy" \
			"$(mode_opts "$1")" >>"$UML_OUT/nat.tsv"
		echo "NAT $1 on $2 at $3, $dir: A (8 flows) $ga, B (1 flow) $gb Kbit/s, CPU $busy %"
	done
	unlimit lnR $dev
}

# The whole bench, or what $UML_OUT/load.conf's plan says instead.
load_plan() {
	case " $parts " in *" rrul "*)
		for pair in $pairs; do
			for mode in plain shaped cake; do rrul rrul $mode ${pair%/*} ${pair#*/} 20; done
			[ "${pair%/*}" -le 60000 ] || rrul rrul hand ${pair%/*} ${pair#*/} 20
		done ;;
	esac
	case " $parts " in *" sweep "*)
		for kbit in $sweep_rates; do
			# A pair of rrul above with this rate each way serves here too.
			case " $parts " in *" rrul "*)
				case " $pairs " in *" $kbit/$kbit "*) continue ;; esac ;;
			esac
			for mode in shaped cake; do rrul sweep $mode $kbit $kbit 20; done
			[ "$kbit" -le 60000 ] || rrul sweep hand $kbit $kbit 20
		done ;;
	esac
	case " $parts " in *" nat "*)
		nat_up 20
		for mode in shaped cake; do nat $mode wan 20000; done
		nat_down ;;
	esac
}

load_bench() {
	flent_test=rrul_be len=20 parts="rrul sweep nat" cake_by=pondrel
	pairs="20000/20000 50000/10000 100000/20000" sweep_rates="10000 20000 50000 100000 200000 500000 1000000"
	cake_egress="dual-srchost nat" cake_ingress="dual-dsthost nat ingress"
	load_mods sch_cake cls_matchall
	# flent's runners share data through Python's multiprocessing.
	mkdir -p /dev/shm
	mount -t tmpfs tmpfs /dev/shm
	# shellcheck source=/dev/null
	[ -f "$UML_OUT/load.conf" ] && . "$UML_OUT/load.conf"
	printf 'tag\tmode\tin_kbit\tout_kbit\trtt_ms\tdown_kbit\tup_kbit\tidle_ms\tping_median_ms\tping_p99_ms\tcpu_pct\tcake\n' >"$UML_OUT/rrul.tsv"
	printf 'mode\twhere\tkbit\tdirection\ta_kbit\tb_kbit\tcpu_pct\tcake\n' >"$UML_OUT/nat.tsv"
	echo "TCP congestion control: $(cat /proc/sys/net/ipv4/tcp_congestion_control)"
	traffic_up
	ip netns exec pondrel4b netserver -4 >/dev/null
	load_plan
	limit_mode pondrel4a v4a plain - - >/dev/null 2>&1 || true
	traffic_down
}
