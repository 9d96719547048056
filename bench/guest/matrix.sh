# The traffic matrix of bench/traffic.sh inside the user-mode kernel,
# sourced by init.sh under UML_MODE=traffic after tests/uml/traffic.sh,
# whose pair, limits and measurements it uses (and that init's PONDREL, T,
# same and fails; no shebang, as it never runs alone).

segments() { # N: the most segments that either end puts in one packet
	ip -n pondrel4a link set v4a gso_max_segs "$1"
	ip -n pondrel4b link set v4b gso_max_segs "$1"
}

# One run of one point, a line of $raw: DIRECTION MODE MS PING KBIT FRAMING
# (pondrel's framing options, or - for none); MODE - is no limit at all.
point() {
	opt=
	[ "$2" = shaped ] && opt=--shape
	[ "$2" = cake ] && opt=--cake
	[ "$6" = - ] || opt="$opt $6"
	with=
	[ "$6" = - ] || with=" with $6"
	if ! limit "$1" "$5" "$opt"; then
		echo "FAIL - $1 $2 $5 Kbit/s$with: pondrel refused"
		fails=$((fails + 1))
		return
	fi
	# TCP hands the pair two or more segments as one packet, and a limit
	# adds the framing once to each such packet, not to each frame: the
	# framing points send one frame a packet, as a link with cells sees.
	[ "$6" = - ] || segments 1
	measure "$1" $secs $omit >$T/measured
	[ "$6" = - ] || segments 65535
	read -r g p <$T/measured
	if [ "$g" = - ]; then
		echo "FAIL - $1 $2 $5 Kbit/s$with at $3 ms: iperf3 gave no figure"
		fails=$((fails + 1))
		return
	fi
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
		"$1" "$2" "$3" "$4" "$5" $round "$g" "$p" "$6" >>"$raw"
	echo "round $round: $1 $2$with at $3 ms (ping $4 ms), limit $5: $g Kbit/s, loaded ping $p ms"
}

# The full matrix for bench/traffic.sh: every direction, mode, round trip
# and rate, each point run $runs times; the unlimited runs belong to no
# mode ("-"). Beside it, the framing points: $framing (pondrel's options
# for the link's framing; empty leaves them out) at $framing_kbit and
# $framing_rtt ms, both directions and modes, cake's too. $UML_OUT/traffic.conf may
# narrow it (runs=, rtts=, rates=, framing=). The runs go round by round,
# not point by point, so that a spell of load on the host spreads over all
# points instead of lowering one. One line per run in
# $UML_OUT/traffic-runs.tsv.
traffic_matrix() {
	runs=3 secs=3 omit=1 rtts="0 5 20 50" rates="1000 10000 50000 100000"
	framing="--atm --overhead 44" framing_kbit=10000 framing_rtt=20
	# shellcheck source=/dev/null
	[ -f "$UML_OUT/traffic.conf" ] && . "$UML_OUT/traffic.conf"
	raw=$UML_OUT/traffic-runs.tsv
	echo "TCP congestion control: $(cat /proc/sys/net/ipv4/tcp_congestion_control)"
	traffic_up
	# A pondrel without the framing options would only show it after the
	# whole matrix: find out now, in both modes (tbf, police, the IFB).
	for opt in "" --shape --cake; do
		[ -n "$framing" ] || break
		# shellcheck disable=SC2086 # one word per option
		if ! ip netns exec pondrel4a "$PONDREL" $opt $framing v4a $framing_kbit $framing_kbit; then
			echo "FAIL - pondrel refused ${opt:+$opt }$framing; TRAFFIC_FRAMING=no leaves those points out"
			fails=$((fails + 1))
			traffic_down
			return
		fi
	done
	all=$rtts
	case " $rtts " in
	*" $framing_rtt "*) ;;
	*) [ -z "$framing" ] || all="$all $framing_rtt" ;;
	esac
	printf 'direction\tmode\trtt_ms\tping_ms\tset_kbit\tround\tgoodput_kbit\tloaded_ms\tframing\n' >"$raw"
	round=1
	while [ $round -le "$runs" ]; do
		for ms in $all; do
			delay "$ms"
			limit egress -
			[ $round = 1 ] && rtt >$T/ping.$ms
			ping=$(cat $T/ping.$ms)
			if [ -z "$ping" ]; then
				echo "FAIL - no ping through the pair at $ms ms"
				fails=$((fails + 1))
			fi
			for dir in egress ingress; do
				for mode in - plain shaped; do
					case " $rtts " in
					*" $ms "*)
						# shellcheck disable=SC2086 # one word per rate
						if [ $mode = - ]; then set -- -; else set -- $rates; fi
						for kbit; do
							point $dir $mode "$ms" "$ping" "$kbit" -
						done
						;;
					esac
					if [ -n "$framing" ] && [ $mode != - ] && [ "$ms" = $framing_rtt ]; then
						point $dir $mode "$ms" "$ping" $framing_kbit "$framing"
						[ $mode != shaped ] || point $dir cake "$ms" "$ping" $framing_kbit "$framing"
					fi
				done
			done
		done
		round=$((round + 1))
	done
	# The plain form removes the shaped one's IFB with its limit.
	limit ingress -
	printf '# secs\t%s\n# omit\t%s\n' $secs $omit >>"$raw"
	traffic_down
}
