# shellcheck shell=sh disable=SC2086 # $T, from init.sh, has no blanks
# The controller's bench of bench/autorate.sh inside the user-mode kernel,
# sourced by init.sh under UML_MODE=autorate after auto.sh (it needs that
# init's PONDREL, T and fails, auto.sh's topology and load.sh's load_mods;
# no shebang, as it never runs alone). The router ar's ar0 reaches the
# server as through the modem am, whose capacity each way follows a trace
# second by second behind 500 ms of buffer; under iperf3 both ways and a
# ping every 0.2 s, each configuration of the limit on ar0 meets the same
# trace. $UML_OUT/autorate.conf, from bench/autorate.sh, sets len and
# configs; the raw series go to $UML_OUT/autorate-*.tsv.

# The trace, one line a second: "SECOND DOWN UP" in Kbit/s. Its phases
# ("SECONDS DOWN-FROM DOWN-TO UP-FROM UP-TO", Mbit/s; a ramp where the two
# differ) last 120 s and are squeezed into len seconds.
ar_trace() {
	awk -v len="$len" 'BEGIN { total = 0 }
		{ d[++n] = $1; a[n] = $2; b[n] = $3; c[n] = $4; e[n] = $5; total += $1 }
		END {
			for (s = 0; s < len; s++) {
				t = s * total / len
				for (i = 1; i < n && t >= d[i]; i++) t -= d[i]
				f = t / d[i]
				printf "%d %d %d\n", s, 1000 * (a[i] + f * (b[i] - a[i])),
					1000 * (c[i] + f * (e[i] - c[i]))
			}
		}' <<'EOF'
10 20 20 10 10
15 40 40 20 20
8 5 5 5 5
20 5 40 5 30
12 40 40 40 40
15 40 10 40 5
6 30 30 15 15
4 5 5 10 10
20 15 15 40 40
10 25 25 8 8
EOF
}

# The modem's tbfs: am0 sends towards the router (down), am1 towards the
# server (up), each with 500 ms of its rate as buffer, as a modem's grows
# with its rate. A queue built at a higher rate stays when the rate falls.
# One tc for both: under load each process costs the guest tenths of a
# second, by which the step comes late.
ar_capacity() { # DOWN UP (Kbit/s)
	printf 'qdisc change dev %s root handle 1: tbf rate %skbit burst 15k limit %s\n' \
		am0 "$1" $(($1 * 62)) am1 "$2" $(($2 * 62)) | tc -n am -batch -
}

# The guest's clock in hundredths of a second, in $now: /proc/uptime
# read by the shell itself, as a command would wait for a CPU that the
# traffic keeps busy.
ar_clock() {
	read -r u _ </proc/uptime
	now=${u%.*}${u#*.}
}
ar_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# The rates on ar0 in Kbit/s, ingress and egress, stamped with the clock,
# a line each second while the controller runs ("-" for no limit).
ar_rates() {
	while :; do
		r=$(ip netns exec ar "$PONDREL" --json ar0 |
			jq -j '"\(.ingress.rate_kbit // "-")\t\(.egress.rate_kbit // "-")"')
		ar_clock
		printf '%s\t%s\n' "$now" "$r"
		[ -n "$ctl" ] || return 0
		sleep 1
	done
}

# The limit on ar0 for a configuration: none, max and min (--cake at the
# trace's ends) or auto (the controller over the whole range, in the
# background as $ctl).
ar_limit() { # CONFIG
	ctl=
	case $1 in
	none) ip netns exec ar "$PONDREL" ar0 - - ;;
	max) ip netns exec ar "$PONDREL" --cake ar0 40000 40000 ;;
	min) ip netns exec ar "$PONDREL" --cake ar0 5000 5000 ;;
	auto)
		ip netns exec ar "$PONDREL" --cake --reflector 10.8.2.2 ar0 \
			5000-40000 5000-40000 2>$T/ctl.err &
		ctl=$! ;;
	esac
}

# One configuration through the whole trace; its lines appended to the
# series, ping and run tables in $UML_OUT.
ar_run() { # CONFIG
	c=$1
	read -r s down up <$T/trace
	ar_capacity "$down" "$up"
	ar_limit "$c" || { echo "FAIL - $c: the limit was refused"; fails=$((fails + 1)); return; }
	sleep 3
	idle=$(ip netns exec ar busybox ping -c 10 -i 0.2 10.8.2.2 |
		sed -n 's/.*time=\([0-9.]*\) ms/\1/p' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
	echo "autorate $c: idle round trip $idle ms; $len s of trace"
	ar_clock
	t0=$now
	[ -z "$ctl" ] || ticks=$(ar_ticks $ctl)
	# Receivers' counts both ways: each client receives (-R).
	ip netns exec ar iperf3 -c 10.8.2.2 -R -P 2 -t "$len" -J >$T/down.json 2>&1 &
	dl=$!
	ip netns exec as iperf3 -c 10.8.1.1 -p 5202 -R -P 2 -t "$len" -J >$T/up.json 2>&1 &
	ul=$!
	ip netns exec ar busybox ping -c $((len * 5)) -i 0.2 10.8.2.2 >$T/ping 2>&1 &
	pg=$!
	ar_rates >$T/rates &
	rp=$!
	# Each step is stamped when it took effect: under load the guest's CPU
	# can hold it back, and the capacity of each second is what was in
	# force. Ahead of the traffic's processes, it is held back less.
	renice -n -10 -p $$ >/dev/null
	: >$T/caps
	while read -r s down up; do
		ar_clock
		d=$((t0 + s * 100 - now))
		[ $d -le 0 ] || sleep "$((d / 100)).$((d % 100 / 10))$((d % 10))"
		[ "$s" = 0 ] || ar_capacity "$down" "$up"
		ar_clock
		printf '%s\t%s\t%s\n' "$now" "$down" "$up" >>$T/caps
		[ $((s % 10)) != 0 ] || echo "autorate $c: $s s, capacity $down/$up Kbit/s, $((now - t0 - s * 100)) cs late"
	done <$T/trace
	renice -n 0 -p $$ >/dev/null
	wait $dl $ul || :
	kill $rp 2>/dev/null || :
	cpu=-
	if [ -n "$ctl" ]; then
		cpu=$(awk -v a="$ticks" -v b="$(ar_ticks $ctl)" -v t="$t0" -v hz="$(getconf CLK_TCK)" \
			'{ printf "%.2f", 100 * (b - a) / hz / ($1 - t / 100) }' /proc/uptime)
		kill $ctl
		st=0
		wait $ctl || st=$?
		[ "$st" = 0 ] || { echo "FAIL - the controller exited $st: $(cat $T/ctl.err)"; fails=$((fails + 1)); }
	fi
	# A ping not answered 5 s after the last was sent counts as 5 s late.
	sleep 5
	kill $pg 2>/dev/null || :
	awk -v c="$c" -v n=$((len * 5)) -F 'seq=| ttl=.*time=| ms' '/time=/ { ms[$2] = $3 }
		END { for (i = 0; i < n; i++) printf "%s\t%.1f\t%s\t%d\n", c, i / 5, i in ms ? ms[i] : 5000, i in ms }' \
		$T/ping >>"$UML_OUT/autorate-ping.tsv"
	# Per second: the capacity and the rates in force at its middle, and
	# Kbit/s received down and up.
	for d in down up; do
		jq -r '.intervals[].sum | "\(.start | floor)\t\(.bits_per_second / 1000 | floor)"' $T/$d.json >$T/$d.tsv ||
			{ echo "FAIL - $c: iperf3 $d gave no figures"; tail -n 3 $T/$d.json; fails=$((fails + 1)); }
	done
	awk -F '\t' -v OFS='\t' -v c="$c" -v t0="$t0" -v len="$len" '
		{ f = FILENAME == ARGV[1] ? 1 : FILENAME == ARGV[2] ? 2 : FILENAME == ARGV[3] ? 3 : 4 }
		f <= 2 { n[f]++; at[f, n[f]] = $1 - t0; a[f, n[f]] = $2; b[f, n[f]] = $3; next }
		f == 3 { g[$1] = $2; next }
		{ h[$1] = $2 }
		function upto(f, t,  i) { for (i = 1; i < n[f] && at[f, i + 1] <= t; i++); return i }
		END { for (s = 0; s < len; s++) {
			i = upto(1, 100 * s + 50); j = upto(2, 100 * s + 50)
			print c, s, a[1, i], b[1, i], a[2, j], b[2, j], s in g ? g[s] : 0, s in h ? h[s] : 0 } }' \
		$T/caps $T/rates $T/down.tsv $T/up.tsv >>"$UML_OUT/autorate-series.tsv"
	printf '%s\t%s\t%s\n' "$c" "$idle" "$cpu" >>"$UML_OUT/autorate-runs.tsv"
	echo "autorate $c: done, controller CPU $cpu %"
	ip netns exec ar "$PONDREL" ar0 - -
	sleep 2
}

autorate_bench() {
	len=120 configs="none max min auto"
	# shellcheck source=/dev/null
	[ ! -f "$UML_OUT/autorate.conf" ] || . "$UML_OUT/autorate.conf"
	load_mods sch_cake cls_matchall
	printf 'config\tsecond\tcap_down_kbit\tcap_up_kbit\trate_in_kbit\trate_out_kbit\tdown_kbit\tup_kbit\n' \
		>"$UML_OUT/autorate-series.tsv"
	printf 'config\tsent_s\tping_ms\tanswered\n' >"$UML_OUT/autorate-ping.tsv"
	printf 'config\tidle_ms\tcpu_pct\n' >"$UML_OUT/autorate-runs.tsv"
	auto_up
	ip netns exec ar iperf3 -s -D -B 10.8.1.1 -p 5202 -I $T/ar-iperf3.pid
	ar_trace >$T/trace
	for c in $configs; do ar_run "$c"; done
	kill "$(cat $T/auto-iperf3.pid)" "$(cat $T/ar-iperf3.pid)"
	for n in ar am as; do ip netns del $n; done
}
