# The shaped mode never leaves a link dead, nor a run's success over a
# broken setup: runs at once, runs killed half-way, a renamed interface,
# rates and framing at their edges, names that collide and devices that
# look like ours. Sourced by init.sh, whose helpers it uses; v4a in
# pondrel4a is the interface, and the far end in pondrel4b pings it.
# shellcheck disable=SC2086,SC2154 # $T has no blanks; st, out, err from run

usage=$(printf %s "Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-")
in4a() { ip netns exec pondrel4a "$@"; }
# "pass" when the far end's pings reach v4a and come back.
pings() {
	if ip netns exec pondrel4b busybox ping -q -c 1 -W 5 10.4.0.1 >/dev/null 2>&1; then
		echo pass
	else
		echo dead
	fi
}
# v4a's ingress filters, and where a redirect sends them.
ingress_of_v4a() {
	n=$(tc -n pondrel4a filter show dev v4a ingress | grep -c '^filter .* handle ') || :
	to=$(tc -n pondrel4a filter show dev v4a ingress |
		sed -n 's/.*Egress Redirect to device \([^)]*\)).*/ to \1/p')
	echo "filters $n$to"
}

traffic_up

section "runs at once on one interface"
# Rounds of two runs started together through VIA (in4a, or that and a
# mount namespace of its own): with a lock both runs whole, one after the
# other; the pattern WANT says what a round may end with.
at_once() { # WHERE ROUNDS WANT VIA...
	where=$1 rounds=$2 want=$3
	shift 3
	# what | first run | second run
	while IFS='|' read -r what one two; do
		bad=
		for i in $(seq "$rounds"); do
			"$@" "$PONDREL" $one 2>$T/err1 &
			p1=$!
			"$@" "$PONDREL" $two 2>$T/err2 &
			p2=$!
			s1=0 s2=0
			wait $p1 || s1=$?
			wait $p2 || s2=$?
			got="$s1$s2 $(pings) $(ingress_of_v4a | cut -d' ' -f1-2)"
			# A line a round: the suite's watchdog hears it working.
			echo "    round $i: $got"
			# shellcheck disable=SC2254 # a pattern on purpose
			case $got in
			$want) ;;
			*)
				bad="$bad $i:$got"
				# What each run said and what it left, to tell why.
				cat $T/err1 $T/err2
				tc -n pondrel4a filter show dev v4a ingress
				ip -n pondrel4a -br link show type ifb
				;;
			esac
		done
		same "$what, $where, $rounds rounds at once: $got_means" "$bad" ""
	done <<'EOF'
shaped with shaped|-s v4a 1000 2000|-s v4a 3000 4000
shaped with plain|-s v4a 1000 2000|v4a 3000 4000
EOF
}
# Held after each of its first requests, the second run waits for it and
# then replaces its configuration whole.
held_runs() { # WHERE
	for k in 1 2 3 4 5 6; do
		read -r s1 s2 held how <<EOF
$(in4a "$RACE" $k $T/err1 $T/err2 "$PONDREL" -s v4a 1000 2000 -- -s v4a 3000 4000)
EOF
		same "$1, a run held after its request $k: the second waits, both exit 0, the second's limits stand" \
			"$s1 $s2 $held $how $(pings) $(ingress_of_v4a)" "0 0 held waited pass filters 1 to ifb-v4a"
	done
}
# Another user makes each of PATHS (a directory where it ends in /, with
# v4a.lock in it) and holds its lock until killed, in the mount namespace
# of PID if given; back once every lock is taken.
hold_as_nobody() { # PATHS [PID]
	before=$(grep -c FLOCK /proc/locks) || :
	# shellcheck disable=SC2016 # expanded by that shell
	script='umask 0; cmd="sleep 600"
		for p in $1; do
			case $p in */) mkdir "$p" && p=${p}v4a.lock ;; esac
			touch "$p" && cmd="flock $p $cmd"
		done
		exec $cmd'
	${2:+nsenter -t $2 -m} setpriv --reuid=65534 --regid=65534 --clear-groups \
		--inh-caps=-all sh -c "$script" sh "$1" &
	# shellcheck disable=SC2086 # one word per path
	set -- $1
	until [ "$(grep -c FLOCK /proc/locks)" -ge $((before + $#)) ]; do sleep 0.1; done
}
# Another build of the same source makes one round of each.
rounds() { if [ "${UML_MODE:-suite}" = static ]; then echo 1; else echo "$1"; fi; }
whole="00 pass filters 1"
got_means="both exit 0, pings pass, one filter"
at_once "the init making no /run/lock" "$(rounds 30)" "$whole" in4a
held_runs "no /run/lock"
# /run here is a bare tmpfs, world-writable and sticky as such an init
# leaves it: another user may make any name there first, and hold it.
rm -rf /run/pondrel
mkdir -m 1777 /run/lock
hold_as_nobody "/run/pondrel/ /run/lock/pondrel/ /run/lock/pondrel.v4a /run/lock/pondrel-v4a.lock"
at_once "another user holding every pondrel name" "$(rounds 10)" "$whole" in4a
held_runs "another user holding every pondrel name"
same "that user's directory moved aside, pondrel's own in its place" \
	"$(find /run -maxdepth 1 -name 'pondrel.untrusted-*' | wc -l) $(stat -c '%U %a' /run/pondrel)" "1 root 700"
pkill -U 65534
rm -rf /run/lock /run/pondrel /run/pondrel.untrusted-*
# A system with /var/lock alone: /run read-only, no /var/run. The runs
# share one mount namespace, which a process of its own keeps.
# pondrel4a's, in a mount namespace where /run is read-only and /var a
# tmpfs, whose process of its own keeps it; the script finishes it.
keep_namespace() { # SCRIPT
	ip netns exec pondrel4a unshare -m --propagation private sh -c "
		mount -t tmpfs -o ro,mode=755 tmpfs /run && $1 && exec sleep 600" &
	keeper=$!
	until nsenter -t $keeper -m grep -q ' /var tmpfs ' /proc/self/mounts; do sleep 0.1; done
}
in_keeper() { nsenter -t $keeper -m -n "$@"; }
keep_namespace "mount -t tmpfs -o mode=755 tmpfs /var && mkdir -m 1777 /var/lock"
# What --status reads beside the lock is only read: neither root nor
# another user makes pondrel's directory by asking.
in_keeper "$PONDREL" --status v4a >/dev/null
in_keeper setpriv --reuid=65534 --regid=65534 --clear-groups "$PONDREL" --status v4a >/dev/null
same "a status read, by root or another user, makes nothing in /var/lock" \
	"$(in_keeper find /var/lock -mindepth 1 | wc -l)" 0
hold_as_nobody "/var/lock/pondrel/ /var/lock/pondrel.v4a" $keeper
at_once "only /var/lock, another user holding its pondrel names" "$(rounds 10)" "$whole" in_keeper
same "/var/lock alone: pondrel's directory there, the user's moved aside" \
	"$(in_keeper sh -c 'stat -c "%U %a" /var/lock/pondrel; find /var/lock -maxdepth 1 -name "pondrel.untrusted-*" | wc -l' | tr '\n' ' ')" "root 700 1 "
pkill -U 65534
kill $keeper
# No lock to be had at all: a shaped run then checks what holds once its
# requests are done, sets it up again or fails, and never leaves a
# redirect to nowhere. Whichever run ends last, the link passes.
keep_namespace "mount -t tmpfs -o ro,mode=755 tmpfs /var"
got_means="each exits 0 or 1, pings pass, one filter at most"
at_once "no lock anywhere" "$(rounds 20)" "[01][01] pass filters [01]" in_keeper
kill $keeper

# Killing is no part of the C library: the suite of this build alone.
if [ "${UML_MODE:-suite}" = suite ]; then
	section "runs killed half-way"
	# A reboot or an OOM kill may stop a run anywhere. Whatever it left, pings
	# pass, and the next shaped run sets its limits whole. Both start from
	# nothing and from limits in force; a shaped run from nothing sends 11
	# requests.
	for from in nothing limits; do
		for k in 1 2 3 4 5 6 7 8 9 10; do
			if [ $from = nothing ]; then in4a "$PONDREL" v4a - -; else in4a "$PONDREL" -s v4a 5000 5000; fi
			read -r s1 _ held _ <<EOF
$(in4a "$RACE" --kill $k $T/err1 $T/err2 "$PONDREL" -s v4a 1000 2000 --)
EOF
			left=$(pings)
			st=0
			in4a "$PONDREL" -s v4a 3000 4000 2>$T/err || st=$?
			same "killed after request $k from $from: pings pass, then the next run sets it whole" \
				"$s1 $held $left | $st $(cat $T/err) $(pings) $(ingress_of_v4a)" \
				"-1 held pass | 0  pass filters 1 to ifb-v4a"
		done
	done
fi

section "a renamed interface"
in4a "$PONDREL" -s v4a 10000 10000
in4a ip link set v4a down
in4a ip link set v4a name wan0
in4a ip link set wan0 up
st=0
in4a "$PONDREL" -s v4a - - 2>$T/err || st=$?
same "the stop with the old name: its words, and the IFB that wan0 redirects to stays" \
	"$st $(cat $T/err) | $(pings) $(tc -n pondrel4a filter show dev wan0 ingress | grep -c 'device ifb-v4a')" \
	"1 invalid interface: v4a | pass 1"
in4a "$PONDREL" -s wan0 10000 10000
same "once wan0 has its own IFB, its run removes the old one, which nothing sends to" \
	"$(in4a ip -o link show type ifb | cut -d: -f2 | tr -d ' \n') $(pings)" "ifb-wan0 pass"
in4a "$PONDREL" -s wan0 - -
in4a ip link set wan0 down
in4a ip link set wan0 name v4a
in4a ip link set v4a up

section "rates and framing at their edges"
# What the kernel does with a zero rate: it limits nothing. The plain mode
# keeps taking it; the shaped mode refuses it with the usage line.
in4a "$PONDREL" v4a 0 0
g=$(goodput ingress 2 0)
same "plain 0 0: taken, and the kernel passes everything ($g Kbit/s in)" \
	"$(pings) $(awk "BEGIN { print (${g:-0} > 1000) }")" "pass 1"
status_check "plain 0 0 is pondrel's" pondrel4a v4a policed shaped
before=$(in4a tc qdisc show dev v4a; in4a tc filter show dev v4a ingress)
for args in "-s v4a 0 0" "-s v4a 0.001 -" "-s v4a - -0"; do
	st=0
	in4a "$PONDREL" $args 2>$T/err || st=$?
	same "$args: the usage line, nothing changed" \
		"$st $(cat $T/err) $(in4a tc qdisc show dev v4a; in4a tc filter show dev v4a ingress)" \
		"1 $usage $before"
done
# A framed packet larger than the bare bucket still fits the bucket; the
# lowest rates are still pondrel's, their buckets' ticks wrapped or not.
# what | arguments | what --json says holds ingress and egress
while IFS='|' read -r what args whose; do
	in4a "$PONDREL" $args
	same "$what: pondrel's, and pings pass" \
		"$(in4a "$PONDREL" --json v4a | jq -r '[.ingress.limit, .ingress.mode, .egress.limit, .egress.mode] | join(" ")') $(pings)" \
		"$whose pass"
done <<'EOF'
a minimum unit of 20000 bytes|--mpu 20000 v4a 1000000 1000000|pondrel policed pondrel shaped
an overhead of 10300 bytes|--overhead 10300 v4a 1000000 1000000|pondrel policed pondrel shaped
shaped, a minimum unit of 20000 bytes|-s --mpu 20000 v4a 1000000 1000000|pondrel shaped pondrel shaped
plain at 0.2 and 0.05 Kbit/s|v4a 0.2 0.05|pondrel policed pondrel shaped
shaped at 0.2 and 0.05 Kbit/s|-s v4a 0.2 0.05|pondrel shaped pondrel shaped
EOF
in4a "$PONDREL" -s v4a 10000 10000
in4a ip link set ifb-v4a down
status_check "an IFB set down is still pondrel's" pondrel4a v4a shaped shaped
same "an IFB set down: status says it passes nothing" \
	"$(in4a "$PONDREL" --status v4a | grep -c 'through IFB ifb-v4a (down: passes nothing)') $(jq .ingress.ifb_up $T/status.json) $(pings)" \
	"1 false dead"
in4a "$PONDREL" -s v4a 10000 10000
same "the next shaped run brings it up again" "$(pings)" pass
in4a "$PONDREL" v4a - -
traffic_down

section "names and marks"
# Two long names that share their start and their hash: the second IFB
# takes the next name, and each run finds its own.
ip link add vethA0011098 type dummy
ip link add vethA0014084 type dummy
for dev in vethA0011098 vethA0014084; do
	run -s $dev 10000 10000
	same "$dev: shaped" "$st|$err" "0|"
done
same "colliding names: two IFBs, each run's own" \
	"$("$PONDREL" --json vethA0011098 | jq -r .ingress.ifb) $("$PONDREL" --json vethA0014084 | jq -r .ingress.ifb)" \
	"ifb-vethA-a5b2e ifb-vethA-a5b2f"
run -s vethA0011098 - -
same "removing the first leaves the second's" \
	"$st $(ip -o link show type ifb | grep -c vethA) $("$PONDREL" --json vethA0014084 | jq -r .ingress.ifb)" \
	"0 1 ifb-vethA-a5b2f"
run -s vethA0014084 - -
ip link del vethA0011098
ip link del vethA0014084
# Devices that only look like ours are never touched.
# what | kind | alias
ip link add d9 type dummy
while IFS='|' read -r what kind alias; do
	ip link add ifb-d9 type $kind
	ip link set ifb-d9 alias "$(printf "$alias")"
	look=$(ip -d link show ifb-d9)
	run d9 1000 1000
	st1=$st
	run -s d9 1000 1000
	same "$what: plain run leaves it, shaped run reports the name taken" \
		"$st1 $st $err | $(ip -d link show ifb-d9)" "0 1 varnic: error: netlink: $EEXIST_TEXT | $look"
	ip link del ifb-d9
done <<'EOF'
the mark on a dummy|dummy|pondrel ingress of d9
the mark with a second line|ifb|pondrel ingress of d9\nmy own device
EOF
# A failed argument check changes nothing, not even a vanished interface's IFB.
run -s d9 1000 1000
ip link del d9
run -s d9 x y
same "a bad rate for a gone interface: its words, the IFB left" \
	"$st $err $(ip -o link show type ifb | grep -c ifb-d9)" "1 invalid interface: d9 1"
run -s d9 - -
same "the stop then takes it" "$st $(ip -o link show type ifb | grep -c ifb-d9)" "1 0"
# Control characters and bytes that are no UTF-8 in a name.
odd=$(printf 'd\033\377')
ip link add "$odd" type dummy
run -s "$odd" 1000 1000
same "a name with an escape and a stray byte: text escaped, JSON valid" \
	"$("$PONDREL" --status "$odd" | sed -n 's/^ingress: .* through IFB \([^,]*\),.*/\1/p') $("$PONDREL" --json "$odd" | jq -r .interface | od -An -c | tr -s ' ')" \
	'ifb-d\x1b\xff  d 033 357 277 275 \n'
run -s "$odd" - -
ip link del "$odd"

section "a namespace that kept another's /sys"
# unshare -n keeps the mount namespace, so sysfs shows this namespace's d0,
# not the new one's: only the kernel's answers can be trusted there.
got=$(unshare -n sh -c '
	ip link add d0 type dummy && ip link set d0 up
	s=
	for args in "-s d0 1000 1000" "-s d0 2000 2000"; do
		$1 $args 2>&1
		s="$s $?"
	done
	m=$($1 --json d0 | jq -r .ingress.mode)
	$1 d0 - - 2>&1
	echo "$s $? $m $(ip -o link show type ifb | wc -l)"
' sh "$PONDREL")
same "-s twice, status, removal: each exits 0, nothing left" "$got" " 0 0 0 shaped 0"
