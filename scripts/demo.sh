#!/bin/sh
# Installs, builds, and shows pondrel at work on a veth pair inside a
# throwaway network namespace; the machine's own interfaces are never touched.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
BUILD_DIR=build-demo sh scripts/build.sh -DPONDREL_TESTS=OFF

ns=pondrel-demo-$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link add demo0 type veth peer name demo1
ip -n "$ns" link set demo0 up
ip -n "$ns" link set demo1 up

run() {
	echo "\$ pondrel $*"
	status=0
	ip netns exec "$ns" ./build-demo/pondrel "$@" || status=$?
	echo "(exit status $status)"
	ip netns exec "$ns" tc qdisc show dev demo0
	ip netns exec "$ns" tc filter show dev demo0 ingress
	ip -n "$ns" -d link show ifb-demo0 2>/dev/null || :
	echo
}

echo "== egress 5000 Kbit/s, ingress left alone"
run demo0 - 5000
echo "== both directions; this kernel may lack the ingress classifier"
run demo0 10000 2000
echo "== the shaped mode: ingress through ifb-demo0, buckets of 1 ms"
run --shape demo0 50000 100000
echo "== remove both limits"
run demo0 - -
