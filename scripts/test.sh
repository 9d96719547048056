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
# A stage may run beside the next ones, in a process group of its own,
# its output kept in build/NAME.log and shown whole when joined; a stage
# that fails meanwhile ends every one beside.
bgs=
# Every guest (a user-mode kernel, an emulated board) takes one of two
# slots first (tests/common/watchdog.sh): one per core, whichever stages
# run side by side.
GUEST_SLOTS=$(mktemp -d)
export GUEST_SLOTS
# shellcheck disable=SC2154 # p is the trap's own loop variable
trap 'for p in $bgs; do kill -- -"$p" 2>/dev/null || kill "$p" 2>/dev/null || :; done; rm -rf "$times" "$times.0" "$times.1" "$GUEST_SLOTS"' EXIT
# An interrupted run ends the stage beside it too, with its guests.
trap 'exit 130' INT TERM HUP
beside() { # NAME COMMAND...
	name=$1
	shift
	echo "== stage $name: beside the next stages"
	# shellcheck disable=SC2016 # expanded by that shell
	setsid -w sh -c '"$@" >"$0" 2>&1; st=$?; echo "$st $(date +%s)" >"$0.end"' \
		"build/$name.log" "$@" &
	echo "$! $(date +%s)" >"build/$name.log.start"
	bgs="$bgs $!"
}
joined() { # NAME
	read -r pid start <"build/$1.log.start"
	cpu "$times.0"
	wait "$pid" || :
	cpu "$times.1"
	bgs=$(echo " $bgs " | sed "s/ $pid / /")
	cat "build/$1.log"
	read -r st end <"build/$1.log.end"
	if [ "$st" -ne 0 ]; then
		echo "== stage $1: FAILED ($((end - start)) s)" >&2
		exit 1
	fi
	stages=$((stages + 1))
	echo "== stage $1: passed ($((end - start)) s, $(($(cat "$times.1") - $(cat "$times.0"))) s of CPU, beside the others)"
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
# ctest boots its user-mode suites two at a time; the builds have what
# CPU they leave.
beside ctest ctest --test-dir build --output-on-failure -j2
# Each other board's static binary on every Debian kernel series of its own
# architecture that the archive offers (the table in run.sh): built first,
# so that its boards take each guest slot that ctest's user-mode kernels
# leave, then those beside the package test and the static suite's.
# shellcheck disable=SC2086
stage static-build sh scripts/static-build.sh $arches
beside boards sh tests/boards/run.sh --ci
stage sanitize sh scripts/sanitize.sh
stage bigendian sh scripts/bigendian.sh
# The package test installs into this machine, which the systemd suite's
# overlay reads: it runs once ctest is done.
joined ctest
stage package-test sh scripts/package-test.sh
stage static-test sh scripts/static-test.sh
joined boards
echo "stages: $stages passed, 0 failed"
