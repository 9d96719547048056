#!/bin/sh
# Proves pondrel's ifupdown hooks as installed: ifup and ifdown run with a
# stanza file and a state directory of this test's own, on a veth pair in a
# private network namespace. In a private mount namespace a tmpfs covers
# /run and every other package's hooks, so nothing of the host is touched.
# Needs root, ifupdown, iproute2, util-linux and the installed files: pondrel
# on PATH, /etc/network/if-up.d/pondrel, /etc/network/if-post-down.d/pondrel
# (the package installs them; so does cmake --install). Fails, never skips.
set -eu
hooks=/etc/network
if [ "${1:-}" != --inside ]; then
	for f in $hooks/if-up.d/pondrel $hooks/if-post-down.d/pondrel; do
		[ -x "$f" ] || { echo "FAIL - $f is not installed" >&2; exit 1; }
	done
	for c in pondrel ifup ifdown unshare; do
		command -v $c >/dev/null || { echo "FAIL - $c is not installed" >&2; exit 1; }
	done
	echo "ifupdown test: $(command -v pondrel) with the hooks in $hooks"
	exec unshare --net --mount --propagation private sh "$0" --inside
fi

mount -t tmpfs tmpfs /run
T=/run/pondrel-ifupdown
mkdir -p $T/keep
for d in if-pre-up.d if-up.d if-down.d if-post-down.d; do
	[ -d $hooks/$d ] || continue
	[ ! -e $hooks/$d/pondrel ] || { touch $T/keep/$d; mount --bind $hooks/$d/pondrel $T/keep/$d; }
	mount -t tmpfs tmpfs $hooks/$d
	[ ! -e $T/keep/$d ] || { touch $hooks/$d/pondrel; mount --bind $T/keep/$d $hooks/$d/pondrel; }
done
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'

# shellcheck source=tests/common/checks.sh
. "$(dirname "$0")/../common/checks.sh"

# Whether this kernel can police ingress at all, and whether it has the
# shaped mode's fair queue, asked of tc, not pondrel.
ip link add v0 type veth peer name v1
tc qdisc add dev v0 ingress
kernel=nobasic
if tc filter add dev v0 parent ffff: basic action police rate 1mbit burst 10k drop 2>/dev/null; then
	kernel=basic
fi
if tc qdisc add dev v0 root fq_codel 2>/dev/null; then
	kernel="$kernel fq"
else
	kernel="$kernel nofq"
fi
if tc qdisc replace dev v0 root cake 2>/dev/null; then
	kernel="$kernel cake"
else
	kernel="$kernel nocake"
fi
ip link del v0
echo "kernel: $kernel (whether tc can add a basic filter with a police action, fq_codel and cake)"

# kernel; what; stanza options (comma-separated); a tbf set by hand before
# ifup; ifup's status; the start of a line that ifup prints (empty: it
# prints nothing); what tc shows after ifup; and after ifdown.
while IFS=';' read -r kind what options preset want_st want_msg want_up want_down; do
	case " any $kernel " in *" $kind "*) ;; *) continue ;; esac
	ip link add v0 type veth peer name v1
	[ -z "$preset" ] || tc qdisc add dev v0 root tbf rate "$preset" burst 2kb latency 50ms
	printf 'iface v0 inet manual\n' >$T/interfaces
	echo "$options" | tr ',' '\n' | sed '/^$/d; s/^/	/' >>$T/interfaces
	rm -rf $T/state
	mkdir $T/state
	st=0
	ifup -i $T/interfaces --state-dir $T/state v0 >$T/out 2>&1 || st=$?
	if [ -z "$want_msg" ]; then
		msg=$(cat $T/out)
	else
		msg=$(awk -v m="$want_msg" 'index($0, m) == 1 { print m; exit }' $T/out)
	fi
	same "$what: ifup exits $want_st${want_msg:+ after \"$want_msg\"}" "$st|$msg" "$want_st|$want_msg"
	[ "$st|$msg" = "$want_st|$want_msg" ] || sed 's/^/    /' $T/out
	same "$what: tc after ifup" "$(state v0)" "$want_up"
	if [ "$st" = 0 ]; then
		st=0
		ifdown -i $T/interfaces --state-dir $T/state v0 >$T/out 2>&1 || st=$?
		same "$what: ifdown exits 0, silent" "$st|$(cat $T/out)" "0|"
		same "$what: tc after ifdown" "$(state v0)" "$want_down"
	fi
	# The shaped mode takes its IFB down with the redirect it failed to add.
	same "$what: no IFB left" "$(ip -o link show type ifb)" ""
	ip link del v0
done <<EOF
any;egress 5000;pondrel-egress 5000;;0;;tbf 5Mbit 2Kb 50ms | ingress 0 filters 0;| ingress 0 filters 0
any;a malformed rate;pondrel-egress 5000x;;1;$usage;| ingress 0 filters 0;
any;neither option;;1mbit;0;;tbf 1Mbit 2Kb 50ms | ingress 0 filters 0;tbf 1Mbit 2Kb 50ms | ingress 0 filters 0
any;neither option, other options;mtu 1400;1mbit;0;;tbf 1Mbit 2Kb 50ms | ingress 0 filters 0;tbf 1Mbit 2Kb 50ms | ingress 0 filters 0
fq;egress shaped, its bucket 4 ms of the rate;pondrel-shape yes,pondrel-egress 100000;;0;;tbf 100Mbit 50000b 50ms | ingress 0 filters 0;| ingress 0 filters 0
nofq;egress shaped without fq_codel: the tbf holds;pondrel-shape yes,pondrel-egress 100000;;1;varnic: error: netlink: ;tbf 100Mbit 50000b 50ms | ingress 0 filters 0;
cake;both directions in cake;pondrel-shape cake,pondrel-ingress 1000,pondrel-egress 2000;;0;;| ingress 1 filters 1;| ingress 0 filters 0
nocake;cake without sch_cake: nothing half-built;pondrel-shape cake,pondrel-egress 2000;;1;varnic: error: netlink: ;| ingress 0 filters 0;
nocake;a range without sch_cake: the controller's failure, nothing half-built;pondrel-shape cake,pondrel-egress 1000-2000;;1;varnic: error: netlink: ;| ingress 0 filters 0;
any;pondrel-shape neither yes, cake nor no;pondrel-shape maybe,pondrel-egress 5000;;1;pondrel-shape is yes, cake or no;| ingress 0 filters 0;
nobasic;shaped ingress without the basic classifier;pondrel-shape yes,pondrel-ingress 1000,pondrel-egress 2000;;1;varnic: error: netlink: ;tbf 2Mbit 2Kb 50ms | ingress 0 filters 0;
nobasic;ingress without the basic classifier;pondrel-ingress 1000,pondrel-egress 2000;;1;varnic: error: netlink: ;tbf 2Mbit 2Kb 50ms | ingress 1 filters 0;
basic;ingress and egress;pondrel-ingress 1000,pondrel-egress 2000;;0;;tbf 2Mbit 2Kb 50ms | ingress 1 filters 1 police 1Mbit 10Kb 2Kb drop;| ingress 0 filters 0
EOF
# A link that vanished before ifdown (a PPP peer hanging up, a VLAN deleted
# first) took its limits with it: that is no failure of the hook.
ip link add v0 type veth peer name v1
printf 'iface v0 inet manual\n\tpondrel-egress 5000\n' >$T/interfaces
rm -rf $T/state
mkdir $T/state
st=0
ifup -i $T/interfaces --state-dir $T/state v0 >$T/out 2>&1 || st=$?
ip link del v0
ifdown -i $T/interfaces --state-dir $T/state v0 >>$T/out 2>&1 || st=$?
same "interface deleted before ifdown: ifup and ifdown exit 0, silent" "$st|$(cat $T/out)" "0|"

echo "ifupdown test: end, $fails failed"
[ "$fails" = 0 ]
