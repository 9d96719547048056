#!/bin/sh
# Installs what it needs, builds pondrel and shows it at work: the plain,
# shaped and cake modes on a veth pair between two throwaway network namespaces,
# each direction's goodput and ping under load against the set rate, the
# status after each and the removal. It runs on this machine's kernel where
# that has every part the demo needs, else in the user-mode kernel of
# tests/uml/. The machine's own interfaces are never touched.
set -eu
cd "$(dirname "$0")/.."
if [ "${1:-}" = --inside ]; then
	# In network and mount namespaces of the demo's own, with a tmpfs over
	# /run: the names of the namespaces the demo makes are its alone, and
	# go with it.
	mount -t tmpfs tmpfs /run
	T=/run/pondrel-demo
	mkdir $T
	PONDREL=$PWD/build-demo/pondrel
	fails=0
	# shellcheck source=tests/uml/traffic.sh
	. tests/uml/traffic.sh
	# Only the iperf3 server outlives the demo's shell; it is ended if the
	# demo stops before traffic_down has.
	trap '[ ! -e /run/netns/pondrel4b ] || ip netns pids pondrel4b | xargs -r kill' EXIT
	trap 'exit 1' INT TERM HUP
	# As init.sh runs it in the user-mode kernel: without -e, each failure
	# counted.
	set +e
	traffic_demo 10000 20
	[ "$fails" = 0 ]
	exit
fi

[ "$(id -u)" = 0 ] || { echo "run as root: sudo sh scripts/demo.sh" >&2; exit 1; }
command -v tc >/dev/null || sh scripts/deps.sh --demo # to ask the kernel
# A stock kernel loads what a request names; ifb's defaults would add ifb0
# and ifb1 to the machine's own interfaces.
if [ ! -e /sys/module/ifb ] && command -v modprobe >/dev/null; then
	modprobe -q ifb numifbs=0 || :
fi
lacks=$(unshare --net sh -c '. tests/uml/traffic.sh; lacks')
if [ -z "$lacks" ]; then
	echo "kernel: this machine's, Linux $(uname -r), which has all the demo needs"
	sh scripts/deps.sh --demo
else
	sh scripts/deps.sh --demo user-mode-linux
	echo "kernel: user-mode Linux $(linux.uml --version), as this machine's Linux $(uname -r) lacks ${lacks% }"
fi
mkdir -p build-demo
BUILD_DIR=build-demo sh scripts/build.sh -DPONDREL_TESTS=OFF >build-demo/build.log 2>&1 ||
	{ cat build-demo/build.log; exit 1; }
if [ -z "$lacks" ]; then
	exec unshare --net --mount --propagation private sh scripts/demo.sh --inside
fi
UML_MODE=demo sh tests/uml/run.sh build-demo/pondrel /dev/null /dev/null /dev/null build-demo/uml
