# Check helpers sourced by the test kernels' inits (tests/uml/init.sh,
# tests/boards/init.sh), by the checks under systemd and by the ifupdown
# test, so that every kernel is read and judged alike. The sourcing shell
# sets PONDREL (the binary) and T (a scratch directory) where it uses run,
# and ends by printing $fails; tc is iproute2's, which prints the options.
fails=0
same() { # WHAT GOT WANT
	if [ "$2" = "$3" ]; then
		echo "ok - $1"
	else
		echo "FAIL - $1"
		echo "    got:  $2"
		echo "    want: $3"
		fails=$((fails + 1))
	fi
}

# shellcheck disable=SC2034 # the sourcing init reads st, out and err
run() { # pondrel ARGS: sets st, out and err
	st=0
	"$PONDREL" "$@" >"$T/out" 2>"$T/err" || st=$?
	out=$(cat "$T/out")
	err=$(cat "$T/err")
}

# What tc shows of pondrel's work on an interface, on one line: the tbf's
# rate, burst and latency; whether there is an ingress qdisc; how many
# filters it holds and each police action's rate, burst, mtu and verdict.
# One tc of each kind and one awk: each process costs a guest dearly.
state() {
	{ tc qdisc show dev "$1"; echo @; tc filter show dev "$1" ingress; } | awk '
	$0 == "@" { filter = 1; next }
	!filter && $1 == "qdisc" && $2 == "tbf" && $4 == "root" {
		for (i = 5; i < NF; i++)
			if ($i == "rate") r = $(i + 1); else if ($i == "burst") b = $(i + 1); else if ($i == "lat") l = $(i + 1)
		tbf = tbf "tbf " r " " b " " l " "
	}
	!filter && /^qdisc ingress ffff:/ { ingress++ }
	filter && /^filter .* handle / { filters++ }
	filter { for (i = 1; i + 9 <= NF; i++) if ($i == "police" && $(i + 1) ~ /^0x[0-9a-f]*$/ && $(i + 2) == "rate" && $(i + 4) == "burst" && $(i + 6) == "mtu" && $(i + 8) == "action") police = police (police == "" ? "" : " ") " police " $(i + 3) " " $(i + 5) " " $(i + 7) " " $(i + 9) }
	END { printf "%s| ingress %d filters %d%s", tbf, ingress, filters, police }'
}

# tc's JSON of a device's qdiscs, one qdisc a line, the kernel's default
# and the ingress qdisc included: each from its kind to the next one's.
# IFACE
qdisc_objects() {
	tc -j qdisc show dev "$1" | awk '{ s = s $0 } END {
		start = "{\"kind\":"
		for (i = index(s, start); i; i = index(s, start)) {
			s = substr(s, i)
			n = index(substr(s, 2), start)
			print n ? substr(s, 1, n) : s
			s = n ? substr(s, n + 1) : ""
		}
	}'
}

# What tc -j reads back of a device's qdiscs but the ingress one, joined by
# ", ": each one's kind, handle, and "root" or its parent; a fair queue's
# target and interval in microseconds as the kernel gives them back, its
# limits in packets and bytes, and "ecn" when it marks. A handle that the
# kernel picked, from 8000: up, depends on what ran before: "auto:". IFACE
qdiscs() {
	qdisc_objects "$1" | awk '
	function text(key) {
		if (!match($0, "\"" key "\":\"[^\"]*\""))
			return ""
		return substr($0, RSTART + length(key) + 4, RLENGTH - length(key) - 5)
	}
	function number(key) {
		if (!match($0, "\"" key "\":[0-9]+"))
			return ""
		return " " key " " substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 3)
	}
	{ sub(/"handle":"[89a-f][0-9a-f][0-9a-f][0-9a-f]:"/, "\"handle\":\"auto:\"") }
	text("kind") != "ingress" {
		printf "%s%s %s %s%s%s%s%s%s", sep, text("kind"), text("handle"),
			/"root":true/ ? "root" : "parent " text("parent"),
			number("target"), number("interval"), number("limit"),
			number("memory_limit"), /"ecn":true/ ? " ecn" : ""
		sep = ", "
	}'
}

# The shaped mode's ingress of an interface on one line: every IFB device
# by name; the IFB's up flag, alias and its root tbf's exact figures
# (bytes/s, bytes, microseconds); and each filter on the interface's
# ingress whose first action is mirred: protocol, kind, handle and where
# it sends. IFACE IFB
ifb_state() {
	names=$(ip -j link show type ifb | awk '{ s = s $0 } END {
		while (match(s, /"ifname":"[^"]*"/)) {
			print substr(s, RSTART + 10, RLENGTH - 11)
			s = substr(s, RSTART + RLENGTH)
		}
	}')
	link='' tbf=''
	if json=$(ip -j link show "$2" 2>/dev/null); then
		link=$(printf '%s\n' "$json" | grep -o '"UP"\|"ifalias":"[^"]*"')
		tbf=$(qdisc_objects "$2" | awk '/"root":true/ {
			while (match($0, /"kind":"[a-z_]*"|"rate":[0-9]*|"burst":[0-9]*|"lat":[0-9]*/)) {
				print substr($0, RSTART, RLENGTH)
				$0 = substr($0, RSTART + RLENGTH)
			}
		}')
	fi
	redirect=$(tc -j filter show dev "$1" ingress 2>/dev/null | sed 's/"pref":[0-9]*,//g' |
		grep -o '"protocol":"[a-z]*","kind":"[a-z]*","chain":0,"options":{"handle":"[^"]*","actions":\[{"order":1,"kind":"mirred","mirred_action":"[a-z]*","direction":"[a-z]*","to_dev":"[^"]*","control_action":{"type":"[a-z]*"')
	# shellcheck disable=SC2086 # one word per name and field
	echo "ifbs" $names "|" $link $tbf "|${redirect:+ $(printf %s "$redirect" | tr '\n' ' ')}"
}

# The exact requests of each run on d0, captured on nlmon0 by WIRE_CHECK
# (uml_wire_check built for this host) and compared byte for byte, in this
# host's order, with the records that its figures make: one table for
# every test kernel.
#
# The records' figures are known answers at 15625000 ticks a second, in
# the order that uml_wire_check gives: the policer's 10240 bytes, a plain
# tbf's 2048 and a shaped one's 4 ms of its rate, each also in ticks; 50 ms
# of the rate more in a tbf's queue; a fair queue's memory a quarter second
# of its rate, a packet a KiB of it, its target at least a full frame's
# time. 0.5 Kbit/s is 62 bytes a second, 34359738 Kbit/s 4294967250. The
# framing adds to the policer's bucket: 10240 bytes with the overhead and
# the header, in whole cells on ATM (11395 bytes in 215 cells; 10272).
# cake's figures: rate, isolation (5 by source host, 6 by destination),
# ingress, whether GSO is split (below 105 Mbit/s), overhead, mpu, ATM.
# what | rates, IFB or - for a plain run, framing | figures
wire_table() { # WIRE_CHECK
	while IFS='|' read -r what args figures; do
		st=0
		# shellcheck disable=SC2086
		"$1" nlmon0 "$PONDREL" d0 $args $figures >"$T/wire" 2>&1 || st=$?
		same "wire, $what: d0 $args sends the expected requests" "$st" 0
		[ "$st" = 0 ] || sed 's/^/    /' "$T/wire"
		# The framed records in this host's order, as its tc reads them.
		[ "$what" != "ATM, overhead and mpu" ] ||
			tc -d qdisc show dev d0 | sed '/^$/d; s/^/    tc: /'
	done <<'EOF'
both|10000 5000 -|police=1250000,128000 tbf=625000,2048,33298,51200
egress|- 2000 -|tbf=250000,2048,14548,128000
ingress|3000 - -|police=375000,426666
none|- - -|
the extremes|0.5 34359738 -|police=62,2580645161 tbf=4294967250,2048,214750410,7
ATM, overhead and mpu|10000 5000 - --atm --overhead 44 --mpu 64|police=1250000,142437 tbf=625000,2048,33298,51200
overhead on ingress|3000 - - --overhead 18|police=375000,428000
overhead on egress|- 2000 - --overhead 18|tbf=250000,2048,14548,128000
shaped, IFB made|10000 100000 ifb-d0|tbf=1250000,5000,67500,62500 fq=10000,200000,305,312500 tbf=12500000,50000,675000,62500 fq=10000,200000,3051,3125000
shaped, IFB reused|100000 20000 ifb-d0|tbf=12500000,50000,675000,62500 fq=10000,200000,3051,3125000 tbf=2500000,10000,135000,62500 fq=10000,200000,610,625000
shaped, IFB removed|- 20000 ifb-d0|tbf=2500000,10000,135000,62500 fq=10000,200000,610,625000
shaped, none|- - ifb-d0|
shaped, the extremes|0.5 34359738 ifb-d0|tbf=62,2048,2051,516129032 fq=24419355,24609355,128,131072 tbf=4294967250,17179869,231928231,62500 fq=10000,200000,4096,4194304
shaped, ATM and overhead|10000 100000 ifb-d0 --atm --overhead 44|tbf=1250000,5000,67500,62500 fq=10000,200000,305,312500 tbf=12500000,50000,675000,62500 fq=10000,200000,3051,3125000
shaped, mpu|100000 20000 ifb-d0 --mpu 64|tbf=12500000,50000,675000,62500 fq=10000,200000,3051,3125000 tbf=2500000,10000,135000,62500 fq=10000,200000,610,625000
cake, after the shaped mode: both made|20000 200000 ifb-d0|cake=2500000,6,1,1,0,0,0 cake=25000000,5,0,0,0,0,0
cake, changed in place, framed|20000 10000 ifb-d0 --atm --overhead 44 --mpu 64|cake-change=2500000,6,1,1,58,64,1 cake-change=1250000,5,0,1,58,64,1
cake, the IFB removed, egress changed|- 10000 ifb-d0|cake-change=1250000,5,0,1,0,0,0
EOF
}
