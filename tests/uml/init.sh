#!/bin/sh
# Init of the user-mode kernel that tests/uml/run.sh boots; it proves pondrel
# on a kernel that has every qdisc, classifier and action the tool uses.
# Its root file system is the host's own, read-write: everything written here
# goes to the tmpfs on /run or to $UML_OUT, nowhere else. One line per check,
# "ok - ..." or "FAIL - ...", and only when every scenario was reached, the
# end line that run.sh waits for. With UML_MODE=traffic it runs only the
# traffic matrix of traffic.sh, for bench/traffic.sh; with UML_MODE=demo
# only the demo of traffic.sh, for scripts/demo.sh. UML_MODE=static, for
# another build of the same source (scripts/static-test.sh), leaves out
# what proves the kernel rather than the binary: kernel_test (the host runs
# it under memcheck) and the traffic through its limits, whose requests
# "the wire" proves the same as this build's.
set -u
if [ "$$" -ne 1 ]; then
	echo "init.sh only runs as the init of the user-mode kernel" >&2
	exit 1
fi
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
trap 'poweroff -f' EXIT

mount -t proc proc /proc
mount -t sysfs sysfs /sys
# A bare tmpfs, as a busybox init mounts it: world-writable and sticky,
# with no /run/lock. Runs on one interface must take turns all the same.
mount -t tmpfs tmpfs /run
# Scratch space lives on that tmpfs too. Nothing is mounted over /tmp: the
# checkout and its build directory may well be below it.
T=/run/pondrel-uml
mkdir -p $T
TMPDIR=$T
export TMPDIR
# shellcheck source=/dev/null
. "$UML_OUT/env" # PONDREL, WIRE_CHECK, RACE, STRERROR, KERNEL_TEST
# Nothing is loaded behind our back: a module missing is a module not loaded.
echo /bin/false >/proc/sys/kernel/modprobe

# same, run and state
# shellcheck source=tests/common/checks.sh
. "$(dirname "$0")/../common/checks.sh"
# plain_scenarios, shaped_scenarios, wire_scenarios, fault_scenarios:
# every row, where the boards run those that differ between kernels
SCENARIOS=full
# shellcheck source=tests/common/scenarios.sh
. "$(dirname "$0")/../common/scenarios.sh"
# status_check
# shellcheck source=tests/common/status.sh
. "$(dirname "$0")/../common/status.sh"
# cake_checks, cake_mq_checks, cake_traffic
# shellcheck source=tests/uml/cake.sh
. "$(dirname "$0")/cake.sh"
# auto_checks
# shellcheck source=tests/uml/auto.sh
. "$(dirname "$0")/auto.sh"

# The kernel's modules: the machine's own, or those that UML_MODULES on the
# kernel's command line names for another kernel (tests/uml/newest.sh).
mods=${UML_MODULES:-/usr/lib/uml/modules}/$(uname -r)
load() { # module paths under the kernel's module tree, without .ko; a
	# word "PATH PARAM=VALUE..." passes parameters to that module
	for m; do
		# shellcheck disable=SC2046 # each parameter a word of its own
		if ! busybox insmod "$mods/kernel/${m%% *}.ko" \
			$(echo "$m" | cut -s -d' ' -f2-); then
			echo "FAIL - module $m cannot be loaded"
			exit 1
		fi
	done
}

# What the shaped modes need beside the default mode's own, with the police
# action: the redirect, the IFB (without numifbs=0 ifb would make ifb0 and
# ifb1 of its own) and fq_codel, which a kernel that has it built in has no
# file for.
load_shaped() {
	load net/sched/act_police net/sched/act_mirred "drivers/net/ifb numifbs=0"
	[ ! -e "$mods/kernel/net/sched/sch_fq_codel.ko" ] || load net/sched/sch_fq_codel
}

load net/sched/sch_tbf net/sched/sch_ingress net/sched/cls_basic \
	drivers/net/dummy drivers/net/veth drivers/net/nlmon
# shellcheck source=tests/uml/traffic.sh
. "$(dirname "$0")/traffic.sh"
# bench/traffic.sh boots this kernel for its traffic matrix alone, and
# scripts/demo.sh for its demo where the machine's kernel lacks a part.
if [ "${UML_MODE:-suite}" != suite ] && [ "$UML_MODE" != static ]; then
	load_shaped
	load net/sched/sch_netem
	# The framing points, the load bench and the demo go through cake too.
	load net/sched/sch_cake
	if [ "$UML_MODE" = demo ]; then
		echo "pondrel-uml: demo"
		# The probe that chose this kernel must find it complete, or the
		# demo would come here even where the machine's kernel would do.
		same "this kernel has all the demo needs" "$(unshare --net sh -c \
			". '$(dirname "$0")/traffic.sh'; lacks")" ""
		traffic_demo 10000 20
	elif [ "$UML_MODE" = load ]; then
		# shellcheck source=bench/guest/load.sh
		. "$(dirname "$0")/../../bench/guest/load.sh"
		load_bench
	elif [ "$UML_MODE" = autorate ]; then
		# shellcheck source=bench/guest/load.sh
		. "$(dirname "$0")/../../bench/guest/load.sh" # load_mods
		# shellcheck source=bench/guest/autorate.sh
		. "$(dirname "$0")/../../bench/guest/autorate.sh"
		autorate_bench
	else
		# shellcheck source=bench/guest/matrix.sh
		. "$(dirname "$0")/../../bench/guest/matrix.sh"
		traffic_matrix
	fi
	echo "pondrel-uml: end of suite, $fails failed"
	exit
fi

# Refused requests must each be reported, and only with exit status 1.
reported() { # STATUS ERRFILE
	case $1 in
	0) [ ! -s "$2" ] ;;
	1) [ -s "$2" ] && ! grep -qv '^varnic: error: netlink: ' "$2" ;;
	*) false ;;
	esac
}

# Reports carry the texts of pondrel's own C library.
ENOENT_TEXT=$("$STRERROR" 2)
EPERM_TEXT=$("$STRERROR" 1)
EEXIST_TEXT=$("$STRERROR" 17)
EOPNOTSUPP_TEXT=$("$STRERROR" 95)

ip link add d0 type dummy
ip link set d0 up

# The runs that must never leave ingress dead boot a kernel of their own
# with UML_PART=safety, beside the rest with UML_PART=main, so that the
# suite keeps both cores busy; UML_PART=whole, as run by hand, runs both.
if [ "${UML_PART:-whole}" = safety ]; then
	load_shaped
	# shellcheck source=tests/uml/safety.sh
	. "$(dirname "$0")/safety.sh"
	echo "pondrel-uml: end of suite, $fails failed"
	exit
fi

# sid's kernel, the newest that Debian has (tests/uml/newest.sh): each
# mode's rows as users of new releases meet them.
if [ "${UML_PART:-whole}" = newest ]; then
	section "the newest kernel, $(uname -r): every mode"
	load_shaped
	plain_scenarios
	shaped_scenarios
	cake_checks
	cake_mq_checks
	auto_checks
	echo "pondrel-uml: end of suite, $fails failed"
	exit
fi

if [ "${UML_MODE:-suite}" = static ]; then
	load net/sched/act_police
else
	section "kernel_test: the police action held back, then loaded"
	# The host's test of whole runs asks tc whether the kernel polices and holds
	# each run to that answer; here each answer is certain, and both are proven.
	# Held back, only the test that the answer changes runs.
	# when | what tc can | the tests
	while IFS='|' read -r when can tests; do
		st=0
		"$KERNEL_TEST" --gtest_brief=1 --gtest_filter="$tests" >$T/kernel_test 2>&1 || st=$?
		same "kernel_test, act_police $when: passed, on the kernel it asked" \
			"$st|$(grep '^kernel: ' $T/kernel_test)" "0|kernel: tc $can police ingress"
		[ "$st" = 0 ] || sed 's/^/    /' $T/kernel_test
		[ "$can" = can ] || load net/sched/act_police
	done <<'EOF'
held back|cannot|Kernel.WholeRunsAsTcShowsThem
loaded|can|*
EOF
fi

plain_scenarios
# A root process asking an ioctl for a device that is not there makes the
# kernel run modprobe for its name, twice; a plain run looks for an IFB that
# is mostly not there, so it must ask where nothing gets loaded.
printf '#!/bin/sh\necho "$*" >>%s/modprobe.log\nexit 1\n' $T >$T/modprobe
chmod +x $T/modprobe
echo $T/modprobe >/proc/sys/kernel/modprobe
run d0 10000 5000
echo /bin/false >/proc/sys/kernel/modprobe
same "a plain run loads no module" "$st|$(cat $T/modprobe.log 2>/dev/null)" "0|"
# The exact figures behind tc's rounded text: bytes/s and microseconds.
same "tc -j: tbf rate and latency" \
	"$(tc -j qdisc show dev d0 | grep -o '"kind":"tbf"\|"rate":[0-9]*\|"lat":[0-9]*' | tr '\n' ' ')" \
	'"kind":"tbf" "rate":625000 "lat":50000 '
same "tc -j: one basic filter under ffff:" \
	"$(tc -j filter show dev d0 ingress | grep -o '"kind":"basic"\|"parent":"ffff:"' | sort | uniq -c | tr -s ' \n' ' ')" \
	' 2 "kind":"basic" 2 "parent":"ffff:" '

section "shaped mode: the kernel without ifb, then act_mirred, then sch_fq_codel"
# Until sch_fq_codel is loaded, last, every fair queue is refused and
# reported: each tbf stays alone and still holds its rate. Loaded without
# numifbs, ifb would make ifb0 and ifb1 at once.
# what | module loaded after | the texts reported, in order | what tc and ip show
while IFS='|' read -r what module texts want; do
	run --shape d0 10000 100000
	same "$what: exit 1, each refusal reported" \
		"$st|$out|$(reported "$st" $T/err && sed 's/^varnic: error: netlink: //' $T/err | tr '\n' /)" \
		"1||$texts"
	same "$what: tc and ip show it" "$(shaped_state)" "$want"
	load "$module"
done <<EOF
ifb missing|drivers/net/ifb numifbs=0|$EOPNOTSUPP_TEXT/$ENOENT_TEXT/|tbf 100Mbit 50000b 50ms | ingress 0 filters 0 / tbf 1: root / ifbs | |
act_mirred missing|net/sched/act_mirred|$ENOENT_TEXT/$ENOENT_TEXT/$ENOENT_TEXT/|tbf 100Mbit 50000b 50ms | ingress 0 filters 0 / tbf 1: root / ifbs | |
sch_fq_codel missing: the IFB and its redirect made|net/sched/sch_fq_codel|$ENOENT_TEXT/$ENOENT_TEXT/|tbf 100Mbit 50000b 50ms | ingress 1 filters 1 / tbf 1: root / ifbs ifb-d0 | $IFB "rate":1250000 "burst":5000 "lat":50000 | $REDIRECT / tbf 1: root
EOF
status_check "sch_fq_codel missing: each tbf alone is pondrel's" - d0 shaped shaped
run --shape d0 - -

shaped_scenarios

section "shaped mode: devices that are not pondrel's"
for kind in ifb dummy; do
	ip link add d1 type dummy
	ip link add ifb-d1 type $kind
	foreign=$(ip -d link show ifb-d1; tc qdisc show dev ifb-d1)
	run --shape d1 10000 5000
	same "foreign $kind ifb-d1: the shaped run reports it and exits 1" \
		"$st|$out|$err|$(state d1)" \
		"1||varnic: error: netlink: $EEXIST_TEXT|tbf 5Mbit 2500b 50ms | ingress 0 filters 0"
	sts=
	for args in "--shape d1 - -" "d1 10000 5000" "d1 - -"; do
		# shellcheck disable=SC2086
		run $args
		sts="$sts$st"
	done
	ip link del d1
	run --shape d1 - -
	same "foreign $kind ifb-d1: removals, plain runs and stop leave it untouched" \
		"$sts|$st|$err|$(ip -d link show ifb-d1; tc qdisc show dev ifb-d1)" \
		"000|1|invalid interface: d1|$foreign"
	ip link del ifb-d1
done
same "ifb0 as the module makes it: untouched" \
	"$(ip -d link show ifb0; tc qdisc show dev ifb0)" "$ifb0"

section "shaped mode: an interface deleted and made anew"
ip link add d3 type dummy
run --shape d3 10000 5000
ip link del d3
run d3 - -
same "the plain call for a gone interface: its words, the IFB left" \
	"$st|$err|$(ifb_state d3 ifb-d3)" \
	'1|invalid interface: d3|ifbs ifb0 ifb-d3 | "UP" "ifalias":"pondrel ingress of d3" "kind":"tbf" "rate":1250000 "burst":5000 "lat":50000 |'
cycles='' want=''
for i in 1 2 3 4 5 6 7 8 9 10; do
	ip link add d3 type dummy
	run --shape d3 10000 5000
	made=$st$([ -e /sys/class/net/ifb-d3 ] && echo made)
	ip link del d3
	# What the unit's stop runs.
	run --shape d3 - -
	cycles="$cycles $i:$made,$st,$err,$([ -e /sys/class/net/ifb-d3 ] && echo left)"
	want="$want $i:0made,1,invalid interface: d3,"
done
same "10 cycles of make, shape, delete, stop: each IFB removed by the stop" \
	"$cycles / $(ifb_state d3 ifb-d3)" "$want / ifbs ifb0 | |"

section "framing: what the kernel holds"
# The framing of each rate record as tc -d -j shows it, on one line: d0's
# tbf | the IFB's tbf | d0's police action, whose overhead holds the 14
# bytes of the Ethernet header that the policer does not count.
framing() {
	for dev in d0 ifb-d0; do
		tc -d -j qdisc show dev $dev 2>/dev/null | grep -o '"overhead":[0-9]*\|"mpu":[0-9]*\|"linklayer":"[a-z]*"' | tr '\n' ' '
		printf '| '
	done
	tc -d -j filter show dev d0 ingress | grep -o '"overhead":[0-9]*\|"linklayer":"[a-z]*"' | tr '\n' ' '
}
# what | arguments | what tc shows
while IFS='|' read -r what args want; do
	# shellcheck disable=SC2086
	run $args
	same "framing, $what: exit 0, silent" "$st|$out|$err" "0||"
	same "framing, $what: tc shows it" "$(framing)" "$want"
done <<'EOF'
plain, ATM|--atm --overhead 44 d0 10000 5000|"mpu":0 "overhead":44 "linklayer":"atm" | | "overhead":58 "linklayer":"atm" 
plain, overhead and mpu|--overhead 18 --mpu 64 d0 10000 5000|"mpu":64 "overhead":18 "linklayer":"ethernet" | | "overhead":32 "linklayer":"ethernet" 
replaced by a plain run without options|d0 10000 5000|"mpu":0 "linklayer":"ethernet" | | "overhead":0 "linklayer":"ethernet" 
shaped, ATM|-s --atm --overhead 44 --mpu 64 d0 10000 5000|"mpu":64 "overhead":44 "linklayer":"atm" | "mpu":64 "overhead":44 "linklayer":"atm" | 
shaped, overhead alone|-s --overhead 8 d0 10000 5000|"mpu":0 "overhead":8 "linklayer":"ethernet" | "mpu":0 "overhead":8 "linklayer":"ethernet" | 
replaced by a shaped run without options|-s d0 10000 5000|"mpu":0 "linklayer":"ethernet" | "mpu":0 "linklayer":"ethernet" | 
EOF
run d0 - -

cake_checks
wire_scenarios "$WIRE_CHECK"

section "status"
# act_mirred, ifb and sch_fq_codel came with the shaped mode above.
load net/sched/sch_htb
run d0 - -
status_check "nothing set" - d0 none none
run d0 10000 5000
status_check "default mode" - d0 policed shaped
run --shape d0 20000 3000
status_check "shaped mode" - d0 shaped shaped
run --shape d0 940 1000000
status_check "shaped mode, times the kernel gives back 2 us short" - d0 shaped shaped
# Limits made with framing are still pondrel's, the framing as it was given.
for mode in policed shaped; do
	opt=
	[ $mode = shaped ] && opt=--shape
	run $opt --atm --overhead 44 --mpu 64 d0 20000 3000
	status_check "$mode ingress, framed" - d0 $mode shaped
	same "$mode ingress, framed: the framing read back" \
		"$(jq -c '[.ingress, .egress] | map([.overhead_bytes, .mpu_bytes, .atm])' $T/status.json)" \
		'[[44,64,true],[44,64,true]]'
done
cp "$PONDREL" $T/pondrel-status
chmod 755 $T/pondrel-status
st=0
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
	--bounding-set=-all $T/pondrel-status --json d0 >$T/nobody.json 2>$T/err || st=$?
same "status as nobody: exit 0, the same JSON as root's" \
	"$st|$(cat $T/err)|$(cat $T/nobody.json)" "0||$("$PONDREL" --json d0)"
# Another qdisc in the fair queue's place, or one parameter changed, makes
# the direction someone else's; pondrel's own parameters set by tc do not.
# what | device | tc's words after "parent 1:1" | ingress and egress for
# status_check | the line of --status that says whose it is not
load net/sched/sch_sfq
while IFS='|' read -r what dev child want_in want_eg line; do
	run --shape d0 20000 3000
	# shellcheck disable=SC2086
	tc qdisc replace dev $dev parent 1:1 $child
	status_check "$what" - d0 $want_in $want_eg
	same "$what: --status says whose it is not" \
		"$(grep 'not set by pondrel' $T/status.txt)" "$line"
done <<'EOF'
sfq below the egress tbf|d0|sfq|shaped|foreign|egress: not set by pondrel: tbf with sfq
egress's fair queue without ECN|d0|handle 2: fq_codel noecn|shaped|foreign|egress: not set by pondrel: tbf with fq_codel
the IFB's fair queue with another target|ifb-d0|handle 2: fq_codel target 6ms|foreign-ifb|shaped|ingress: not set by pondrel: tbf with fq_codel
pondrel's parameters in a new fq_codel from tc|d0|fq_codel limit 128 memory_limit 131072 target 10ms interval 200ms ecn|shaped|shaped|
EOF
tc qdisc replace dev ifb-d0 parent 1:1 sfq
run --shape d0 20000 3000
same "a shaped run after them puts back its own fair queues, one each" \
	"$st|$err|$(qdiscs d0) / $(qdiscs ifb-d0)" \
	"0||$(fq 9999 199999 128 131072) / $(fq 9999 199999 610 625000)"
run d0 - -
tc qdisc add dev d0 root handle 1: htb default 1
tc qdisc add dev d0 ingress
tc filter add dev d0 parent ffff: protocol all basic police rate 1mbit burst 10k mtu 2k pipe
status_check "htb, and a policer that passes" - d0 foreign foreign
tc qdisc del dev d0 root
tc qdisc del dev d0 ingress

fault_scenarios

# Two runs started together on one CPU rarely overlap by chance, so each
# overlap is forced: the first run is held after its k-th request while the
# second starts. The second must wait for the first, and its limits stand.
for k in 1 2 3 4 5; do
	read -r s1 s2 held how <<EOF
$(timeout 20 "$RACE" $k $T/err1 $T/err2 "$PONDREL" d0 10000 5000 -- d0 20000 3000)
EOF
	same "second run started inside the first after its request $k: it waits, both exit 0" \
		"${s1:-none} ${s2:-none} ${held:-} ${how:-} $(cat $T/err1 $T/err2)" "0 0 held waited "
	same "the second run's limits stand whole" "$(state d0)" \
		"tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop"
done

cp "$PONDREL" $T/pondrel
chmod 755 $T/pondrel
before=$(state d0)
for args in "1 1" "- -"; do
	st=0
	# shellcheck disable=SC2086
	setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
		--bounding-set=-all $T/pondrel d0 $args 2>$T/err || st=$?
	same "without CAP_NET_ADMIN ($args): refused" \
		"$st|$(sort -u $T/err)" "1|varnic: error: netlink: $EPERM_TEXT"
	same "without CAP_NET_ADMIN ($args): nothing changed" "$(state d0)" "$before"
done

if [ "${UML_MODE:-suite}" = suite ]; then
	section "traffic"
	# Only what must hold on any machine: goodput never more than 10 % above the
	# set rate, and a limit clearly in force. The figures users read come from
	# the matrix of bench/traffic.sh, which takes minutes.
	traffic_up
	for dir in egress ingress; do
		limit $dir -
		free=$(goodput $dir 3 0)
		free=${free:-0}
		echo "$dir unlimited: $free Kbit/s"
		for kbit in 1000 10000 50000; do
			st=0
			limit $dir $kbit || st=$?
			g=$(goodput $dir 3 0)
			g=${g:-0}
			same "$dir $kbit Kbit/s: applied, $g Kbit/s measured, at most 10% above" \
				"$st $(awk "BEGIN { print ($g > 0 && $g <= $kbit * 1.1) }")" "0 1"
			same "$dir $kbit Kbit/s: $g Kbit/s is below half of unlimited" \
				"$(awk "BEGIN { print ($g < $free / 2) }")" 1
		done
	done
	# Far more than the limit in each direction, even from a slow user-mode
	# kernel: the queues and the policer must drop, and in the shaped mode the
	# fair queues below the tbfs. DROPPED is jq's test of each direction.
	overload() { # NAME INGRESS DROPPED [EGRESS]
		# A loaded machine may starve iperf3's own control connection behind
		# the flood: a run that lost it goes once more.
		for r in "" -R; do
			ip netns exec pondrel4a iperf3 -c 10.4.0.2 -u -b 20M -l 1400 -t 2 $r >/dev/null ||
				ip netns exec pondrel4a iperf3 -c 10.4.0.2 -u -b 20M -l 1400 -t 2 $r >/dev/null ||
				echo "    iperf3 $r failed"
		done
		# The last packets of a run, its close among them, still pass for a
		# moment: read the counters once they stand still, for tc and pondrel.
		sleep 1
		ip netns exec pondrel4a "$PONDREL" --status v4a | sed 's/^/    /'
		ip netns exec pondrel4a "$PONDREL" --json v4a | sed 's/^/    /'
		status_check "$1 after traffic" pondrel4a v4a "$2" "${4:-shaped}"
		same "$1 after traffic: both directions dropped" \
			"$(jq "[.ingress, .egress] | all($3)" $T/status.json)" true
	}
	ip netns exec pondrel4a "$PONDREL" v4a 1000 1000
	overload "default mode" policed '.drops >= 1'
	ip netns exec pondrel4a "$PONDREL" --shape v4a 1000 1000
	overload "shaped mode" shaped '.drops >= 1 and .fair_queue.drops >= 1'
	# The length that the kernel counts of each of 10 pings of 1028 bytes of
	# IP: the root tbf and the IFB's the frame with its Ethernet header, the
	# policer without; pondrel's overhead for the policer makes up for it.
	for opt in "" --shape; do
		ip netns exec pondrel4a "$PONDREL" $opt --atm v4a 100000 100000
		ip netns exec pondrel4a busybox ping -q -c 1 10.4.0.2 >/dev/null
		ip netns exec pondrel4a "$PONDREL" --json v4a >$T/before.json
		ip netns exec pondrel4a busybox ping -q -c 10 -i 0.05 -s 1000 10.4.0.2 >/dev/null
		ip netns exec pondrel4a "$PONDREL" --json v4a >$T/after.json
		same "framing${opt:+, shaped}: bytes counted per ping, egress and ingress" \
			"$(jq -s -r '[.[1].egress, .[1].ingress] as $a | [.[0].egress, .[0].ingress] as $b |
				[0, 1] | map(($a[.].bytes - $b[.].bytes) / ($a[.].packets - $b[.].packets)) | join(" ")' \
				$T/before.json $T/after.json)" \
			"1042 $([ -n "$opt" ] && echo 1042 || echo 1028)"
	done
	cake_traffic
	traffic_down
fi

# shellcheck source=tests/uml/safety.sh
[ "${UML_PART:-whole}" = main ] || . "$(dirname "$0")/safety.sh"

echo "pondrel-uml: end of suite, $fails failed"
