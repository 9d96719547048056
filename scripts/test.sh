#!/bin/sh
# Installs, builds and runs every test. Needs root: the tests make their
# own network and mount namespaces and must fail, not skip, without them.
# The first failing stage stops the run with a non-zero status. Each stage
# ends with its time and the CPU time its processes took, so that a change
# sees where the run's time goes and where the two cores wait: the CPU time
# holds on a machine shared with others, the time does not.
set -eu
cd "$(dirname "$0")/.."

stages=0
times=$(mktemp)
cpu() { # FILE: the seconds of CPU that the processes waited for took so far
	times >"$times"
	awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, "m"); s += t[1] * 60 + t[2] }
		printf "%d", s }' "$times" >"$1"
}
stage() { # NAME COMMAND...
	name=$1
	shift
	echo "== stage $name"
	t=$(date +%s)
	cpu "$times.0"
	"$@"
	stages=$((stages + 1))
	cpu "$times.1"
	echo "== stage $name: passed ($(($(date +%s) - t)) s, $(($(cat "$times.1") - $(cat "$times.0"))) s of CPU)"
}
# One stage at a time may run beside the next ones, in a process group of
# its own, its output kept in build/NAME.log and shown whole when joined;
# a stage that fails meanwhile ends it.
bg=
# Every guest (a user-mode kernel, an emulated board) takes one of two
# slots first (tests/common/watchdog.sh): one per core, whichever stages
# run side by side.
GUEST_SLOTS=$(mktemp -d)
export GUEST_SLOTS
trap '[ -z "$bg" ] || kill -- -"$bg" 2>/dev/null || kill "$bg" 2>/dev/null || :; rm -rf "$times" "$times.0" "$times.1" "$GUEST_SLOTS"' EXIT
# An interrupted run ends the stage beside it too, with its guests.
trap 'exit 130' INT TERM HUP
beside() { # NAME COMMAND...
	bg_name=$1
	shift
	echo "== stage $bg_name: beside the next stages"
	bg_start=$(date +%s)
	# shellcheck disable=SC2016 # expanded by that shell
	setsid -w sh -c '"$@" >"$0" 2>&1; st=$?; echo "$st $(date +%s)" >"$0.end"' \
		"build/$bg_name.log" "$@" &
	bg=$!
}
joined() {
	cpu "$times.0"
	wait "$bg" || :
	cpu "$times.1"
	bg_cpu=$(($(cat "$times.1") - $(cat "$times.0")))
	bg=
	cat "build/$bg_name.log"
	read -r st end <"build/$bg_name.log.end"
	if [ "$st" -ne 0 ]; then
		echo "== stage $bg_name: FAILED ($((end - bg_start)) s)" >&2
		exit 1
	fi
	stages=$((stages + 1))
	echo "== stage $bg_name: passed ($((end - bg_start)) s, $bg_cpu s of CPU, beside the others)"
}

arches="amd64 arm64 armhf mipsel s390x"
# Every stage's packages in one apt-get run: apt reads its lists once, and
# none installs while another stage runs beside it.
# shellcheck disable=SC2086 # one word per architecture, package
extra="$(sh scripts/bigendian.sh --packages) $(sh scripts/static-build.sh --packages $arches)
	$(sh tests/boards/run.sh --packages --ci)"
# shellcheck disable=SC2086
for a in $(printf '%s\n' $extra | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
	dpkg --add-architecture "$a"
done
# shellcheck disable=SC2086 # one word per package
stage deps sh scripts/deps.sh $extra
stage build sh scripts/build.sh -DPONDREL_TESTS=ON
# ctest boots the two user-mode suites at once; once the systemd one is
# done, the other suite runs alone for minutes and uses about one core:
# the builds have the other.
beside ctest ctest --test-dir build --output-on-failure -j2
stage sanitize sh scripts/sanitize.sh
stage bigendian sh scripts/bigendian.sh
# shellcheck disable=SC2086
stage static-build sh scripts/static-build.sh $arches
joined
# Each other board's static binary on every Debian kernel series of its own
# architecture that the archive offers (the table in run.sh), two at a
# time beside the package test, then one beside the static suite's one
# user-mode kernel. The package test installs into this machine, which the
# systemd suite's overlay reads: it runs here, after that suite.
beside boards sh tests/boards/run.sh --ci
stage package-test sh scripts/package-test.sh
stage static-test sh scripts/static-test.sh
joined
echo "stages: $stages passed, 0 failed"
