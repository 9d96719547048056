#!/bin/sh
# Run by systemd, booted by systemd-init.sh inside the user-mode kernel: it
# proves pondrel@.service and the ifupdown hook under a real systemd and
# udev, with device units for dummy interfaces. One line per check,
# "ok - ..." or "FAIL - ...", then the end line that run.sh waits for, and
# the machine is powered off.
set -u
trap 'systemctl poweroff --force --force' EXIT
echo "pondrel-uml: systemd ran the checks at $(cut -d' ' -f1 /proc/uptime) s"
# shellcheck source=tests/common/checks.sh
. /usr/local/lib/pondrel-checks.sh
# Waits up to 15 s for a command to succeed; udev and systemd take their time.
until_true() {
	n=0
	while ! "$@" >/dev/null 2>&1; do
		n=$((n + 1))
		[ $n -lt 30 ] || return 1
		sleep 0.5
	done
}
is() { # UNIT STATE: systemctl is-active prints that state
	[ "$(systemctl is-active "$1")" = "$2" ]
}
conf() { # IFACE LINES: writes /etc/pondrel/IFACE.conf, its lines split at commas
	printf '%s\n' "$2" | tr ',' '\n' >"/etc/pondrel/$1.conf"
}
first='tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb 2Kb drop'
second='tbf 3Mbit 2Kb 50ms | ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop'
none='| ingress 0 filters 0'
# The modules of a plain run, loaded in the kernel, each followed by a blank.
loaded() {
	for m in sch_tbf sch_ingress cls_basic act_police; do
		[ ! -d "/sys/module/$m" ] || printf '%s ' "$m"
	done
}

echo "== enabled for d0, d0 created"
mkdir -p /etc/pondrel
conf d0 INGRESS=10000,EGRESS=5000
systemctl enable pondrel@d0 2>&1
same "enable: wanted by d0's device unit" \
	"$(readlink /etc/systemd/system/sys-subsystem-net-devices-d0.device.wants/pondrel@d0.service)" \
	/etc/systemd/system/pondrel@.service
before=$(loaded)
ip link add d0 type dummy
until_true is pondrel@d0 active
same "d0 appears: unit active" "$(systemctl is-active pondrel@d0)" active
same "d0 appears: both limits in force" "$(state d0)" "$first"
# systemd-init.sh left them out: the kernel loaded them for the unit's run.
same "d0 appears: the kernel loaded the modules the run named" \
	"$before|$(loaded)" "|sch_tbf sch_ingress cls_basic act_police "

echo "== d0 deleted and created again"
ip link del d0
until_true is pondrel@d0 inactive
same "d0 deleted: unit stopped, not failed" "$(systemctl is-active pondrel@d0)" inactive
ip link add d0 type dummy
until_true is pondrel@d0 active
same "d0 created again: unit active" "$(systemctl is-active pondrel@d0)" active
same "d0 created again: both limits in force" "$(state d0)" "$first"

echo "== a name that systemd escapes"
# %i names the device unit in its escaped form, %I the file and pondrel's
# argument in the interface's own: u-1 is the unit pondrel@u\x2d1.
conf u-1 INGRESS=-,EGRESS=1000
systemctl enable "$(systemd-escape --template pondrel@.service u-1)" 2>&1
ip link add u-1 type dummy
until_true is 'pondrel@u\x2d1' active
same "u-1 appears: pondrel@u\\x2d1 active, its egress limit in force" \
	"$(systemctl is-active 'pondrel@u\x2d1')|$(state u-1)" "active|tbf 1Mbit 2Kb 50ms | ingress 0 filters 0"
ip link del u-1

echo "== reload and stop"
conf d0 INGRESS=20000,EGRESS=3000
systemctl reload pondrel@d0
same "edited file and reload: the new rates" "$(state d0)" "$second"
systemctl stop pondrel@d0
same "stop: both limits removed" "$(systemctl is-active pondrel@d0)|$(state d0)" "inactive|$none"

echo "== files that fail the unit"
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'
ip link add d1 type dummy
until_true systemctl status sys-subsystem-net-devices-d1.device
# what | lines of /etc/pondrel/d1.conf split at commas, or "none" for no file
while IFS='|' read -r what lines; do
	rm -f /etc/pondrel/d1.conf
	systemctl reset-failed pondrel@d1 2>/dev/null
	[ "$lines" = none ] || conf d1 "$lines"
	systemctl start pondrel@d1 2>/dev/null
	st=$?
	until_true sh -c "systemctl status pondrel@d1 | grep -qF '$usage'"
	shown=$(systemctl status pondrel@d1 | grep -cF "$usage")
	same "$what: start fails, unit failed, status shows the usage line" \
		"$st $(systemctl is-active pondrel@d1) $([ "$shown" -ge 1 ] && echo shown)" \
		"1 failed shown"
	same "$what: nothing installed" "$(state d1)" "$none"
done <<'EOF'
a rate that is not a number|INGRESS=fast,EGRESS=5000
no EGRESS line|INGRESS=10000
both on one line|INGRESS=10000 EGRESS=5000
no file at all|none
EOF
systemctl status pondrel@d1 --no-pager -n 3 | sed 's/^/    /'

echo "== two triggers at once"
# The lock is held while the unit and the ifupdown hook are both set off:
# neither may touch d0 before it is free, and afterwards d0 holds exactly
# one of their two configurations, whole.
conf d0 INGRESS=10000,EGRESS=5000
# The holder says when it has the lock and keeps it until told: on a slow
# machine a fixed pause may end before it even has it.
# It holds the lock that pondrel takes, in the directory that the unit
# makes for it.
rm -f /run/pondrel-held /run/pondrel-release
same "the unit's lock directory: root's alone" "$(stat -c '%U %a' /run/pondrel)" "root 700"
flock /run/pondrel/d0.lock sh -c \
	'touch /run/pondrel-held; until [ -e /run/pondrel-release ]; do sleep 0.1; done' &
holder=$!
until_true test -e /run/pondrel-held
systemctl start --no-block pondrel@d0
IFACE=d0 IF_PONDREL_INGRESS=20000 IF_PONDREL_EGRESS=3000 /etc/network/if-up.d/pondrel &
hook=$!
sleep 2
same "while the lock is held: neither has touched d0" "$(state d0)" "$none"
touch /run/pondrel-release
wait $holder
hook_st=0
wait $hook || hook_st=$?
until_true is pondrel@d0 active
got=$(state d0)
case $got in
"$first" | "$second") one=yes ;;
*) one=no ;;
esac
same "both ran after it: unit active, hook exit 0, one configuration ($got)" \
	"$(systemctl is-active pondrel@d0) $hook_st $one" "active 0 yes"

echo "== the link's framing"
# The framing of d0's rate records as tc -d -j shows it: the tbf's, then the
# policer's (tc shows no minimum unit there), with the 14 bytes of the
# header that it does not count.
framing_of_d0() {
	{ tc -d -j qdisc show dev d0; tc -d -j filter show dev d0 ingress; } |
		grep -o '"mpu":[0-9]*\|"overhead":[0-9]*\|"linklayer":"[a-z]*"' | tr '\n' ' '
}
conf d0 "OPTIONS=--atm --overhead 18,INGRESS=10000,EGRESS=5000"
systemctl restart pondrel@d0
same "OPTIONS with the framing: in every rate record" "$(framing_of_d0)" \
	'"mpu":0 "overhead":18 "linklayer":"atm" "overhead":32 "linklayer":"atm" '
systemctl stop pondrel@d0
# what | the stanza's options as the hook gets them | exit status | tc's framing
while IFS="|" read -r what vars want_st want; do
	st=0
	# shellcheck disable=SC2086 # one word per variable
	env IFACE=d0 IF_PONDREL_INGRESS=10000 IF_PONDREL_EGRESS=5000 $vars \
		/etc/network/if-up.d/pondrel 2>/run/pondrel-err || st=$?
	same "hook, $what" "$st|$(cat /run/pondrel-err)|$(framing_of_d0)" "$want_st|$want"
done <<'EOF'
pondrel-atm, -overhead and -mpu|IF_PONDREL_ATM=yes IF_PONDREL_OVERHEAD=10 IF_PONDREL_MPU=64|0||"mpu":64 "overhead":10 "linklayer":"atm" "overhead":24 "linklayer":"atm" 
pondrel-atm neither yes nor no|IF_PONDREL_ATM=maybe|1|pondrel-atm is yes or no, not 'maybe'|"mpu":64 "overhead":10 "linklayer":"atm" "overhead":24 "linklayer":"atm" 
EOF
IFACE=d0 IF_PONDREL_INGRESS=- IF_PONDREL_EGRESS=- /etc/network/if-up.d/pondrel

echo "== a range: pondrel-auto@.service and the hook drive it"
# The reflector never answers, so each range holds its least rate.
rates() { # IFACE: the rates in force, Kbit/s, ingress then egress
	pondrel --json "$1" | jq -j '"\(.ingress.rate_kbit) \(.egress.rate_kbit)"'
}
conf d2 "OPTIONS=--cake --reflector 10.9.0.2,INGRESS=1000-8000,EGRESS=2000-9000"
systemctl enable pondrel@d2 2>&1
ip link add d2 type dummy
ip addr add 10.9.0.1/24 dev d2
ip link set d2 up
until_true is pondrel-auto@d2 active
same "d2 appears: pondrel@ steps aside for pondrel-auto@, at the least rates" \
	"$(systemctl is-active pondrel@d2) $(systemctl is-active pondrel-auto@d2) $(rates d2)" \
	"inactive active 1000 2000"
conf d2 "OPTIONS=--cake --reflector 10.9.0.2,INGRESS=3000-8000,EGRESS=2000-9000"
systemctl reload pondrel-auto@d2
until_true sh -c '[ "$(pondrel --json d2 | jq .ingress.rate_kbit)" = 3000 ]'
same "reload: the edited range in force" "$(rates d2)" "3000 2000"
systemctl stop pondrel-auto@d2
same "stop: inactive, the least rates left" "$(systemctl is-active pondrel-auto@d2) $(rates d2)" \
	"inactive 3000 2000"
systemctl start pondrel@d2
until_true is pondrel-auto@d2 active
ip link del d2
until_true is pondrel-auto@d2 inactive
same "d2 deleted: pondrel-auto@d2 stopped, not failed" "$(systemctl is-active pondrel-auto@d2)" inactive
systemctl disable pondrel@d2 2>&1
ip link add d2 type dummy
st=0
env IFACE=d2 IF_PONDREL_SHAPE=cake IF_PONDREL_INGRESS=1000-8000 IF_PONDREL_REFLECTOR=10.9.0.2 \
	/etc/network/if-up.d/pondrel || st=$?
same "hook, a range: exit 0, the controller running, its least rate" \
	"$st $(kill -0 "$(cat /run/pondrel/d2.pid)" && echo running) $(rates d2)" "0 running 1000 null"
st=0
IFACE=d2 IF_PONDREL_INGRESS=1000-8000 /etc/network/if-post-down.d/pondrel || st=$?
same "post-down hook: exit 0, the controller stopped, no limit" \
	"$st $([ -e /run/pondrel/d2.pid ] || echo stopped) $(state d2)" "0 stopped $none"
ip link del d2

echo "== the shaped mode"
IFB='"UP" "ifalias":"pondrel ingress of d0" "kind":"tbf" "rate":12500000 "burst":50000 "lat":50000'
REDIRECT='"protocol":"all","kind":"basic","chain":0,"options":{"handle":"1","actions":[{"order":1,"kind":"mirred","mirred_action":"redirect","direction":"egress","to_dev":"ifb-d0","control_action":{"type":"stolen"'
# Each tbf with its fair queue below, sch_fq_codel loaded by the kernel.
FQ='tbf 1: root, fq_codel 2: parent 1:1 target 9999 interval 199999'
conf d0 OPTIONS=--shape,INGRESS=100000,EGRESS=10000
systemctl restart pondrel@d0
same "OPTIONS=--shape: d0 redirects to its IFB, which shapes" \
	"$(state d0) / $(qdiscs d0) / $(ifb_state d0 ifb-d0) / $(qdiscs ifb-d0)" \
	"tbf 10Mbit 5000b 50ms | ingress 1 filters 1 / $FQ limit 305 memory_limit 312500 ecn / ifbs ifb-d0 | $IFB | $REDIRECT / $FQ limit 3051 memory_limit 3125000 ecn"
systemctl stop pondrel@d0
same "stop: the IFB gone with both limits" \
	"$(state d0) / $(ifb_state d0 ifb-d0)" "$none / ifbs | |"
# The kernel keeps an IFB whose interface has gone: the unit's stop takes it.
systemctl start pondrel@d0
had=$(ifb_state d0 ifb-d0 | cut -d'|' -f1)
ip link del d0
until_true is pondrel@d0 inactive
same "d0 deleted while shaped: unit stopped, its IFB gone" \
	"$had/ $(systemctl is-active pondrel@d0) / $(ifb_state d0 ifb-d0)" \
	"ifbs ifb-d0 / inactive / ifbs | |"

same "systemd's root is the overlay, not the host's" "$(findmnt -n -o FSTYPE /)" overlay
echo "pondrel-uml: end of suite, $fails failed"
