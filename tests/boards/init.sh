#!/bin/sh
# Init of the initramfs that tests/boards/run.sh boots under full-system
# emulation with one architecture's Debian kernel: it proves that board's
# static pondrel on that kernel. The initramfs holds busybox, the target's
# own tc and ip with their libraries, the kernel's modules in /modules (in
# load order), /pondrel, /wire_check, /checks.sh and /scenarios.sh, whose
# rows marked "every" it runs. One line per check,
# "ok - ..." or "FAIL - ...", then the end line that run.sh waits for.
set -u
PATH=/sbin:/bin
export PATH
trap 'poweroff -f' EXIT
# No /run/lock, as on a busybox system: runs must find their lock anyway.
/bin/busybox mkdir -p /proc /sys /dev /run
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
# busybox's shell needs /dev/null for "&" and redirections.
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox --install -s /bin
# busybox's tc prints no qdisc options, and its shell prefers its own
# applets to anything in PATH, though not to functions: these name the
# target's iproute2.
tc() { /sbin/tc "$@"; }
ip() { /sbin/ip "$@"; }
echo "pondrel-board: $(uname -m) kernel $(uname -r) reached init after $(cut -d' ' -f1 /proc/uptime) s"
T=/run
PONDREL=/pondrel
# shellcheck source=tests/common/checks.sh
. /checks.sh
# shellcheck source=tests/common/scenarios.sh
. /scenarios.sh
# Nothing is loaded behind our back: a module missing is a module not loaded.
echo /bin/false >/proc/sys/kernel/modprobe

while read -r m; do
	# Without numifbs=0 the module makes ifb0 and ifb1, which nothing needs.
	args=
	[ "$m" != ifb ] || args=numifbs=0
	# shellcheck disable=SC2086
	if ! insmod "/modules/$m.ko" $args; then
		echo "FAIL - module $m cannot be loaded"
		exit 1
	fi
done </modules/order
if dmesg | grep -q 'Call Trace'; then
	dmesg | sed 's/^/    dmesg: /'
	echo "pondrel-board: the kernel traced while loading modules"
	exit 1
fi
ip link add d0 type dummy
ip link set d0 up

plain_scenarios
shaped_scenarios
cake_scenarios
# The wire proves this architecture's byte order, which no kernel changes:
# run.sh asks for it on the first of the run's kernels of each one.
if [ "${pondrel_wire:-yes}" = yes ]; then
	wire_scenarios /wire_check
else
	section "the wire: proven on another kernel of $(uname -m)"
fi
fault_scenarios

section "a zero rate"
# What this kernel does with the plain call's zero, which the plain call
# keeps taking: it limits nothing, and pings from the far end pass.
mkdir -p /run/netns
ip netns add far
ip link add va type veth peer name vb netns far
ip addr add 10.9.0.1/24 dev va
ip link set va up
ip -n far addr add 10.9.0.2/24 dev vb
ip -n far link set vb up
run va 0 0
# tc works the tbf's latency out of a zero rate as it likes: left out.
same "va 0 0: taken, a zero rate on both, and the far end's pings pass" \
	"$st|$(state va | sed 's/^\(tbf [^ ]* [^ ]*\) [^|]*/\1 /')|$(ip netns exec far ping -q -c 3 -W 5 10.9.0.1 >/dev/null && echo pass)" \
	"0|tbf 0bit 0b | ingress 1 filters 1 police 0bit 0b 4096Mb drop|pass"

echo "pondrel-board: end of suite, $fails failed"
