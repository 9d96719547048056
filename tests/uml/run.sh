#!/bin/sh
# Boots the user-mode kernel with init.sh beside this file as its init, and
# fails unless that init reached its end with every check passed. A kernel
# that cannot boot, or a module that cannot load, is a failure, not a skip;
# so is a minute without a line on its console. The last line gives its time.
# Usage: run.sh PONDREL WIRE_CHECK RACE STRERROR OUTDIR [INIT]
# STRERROR prints the error texts of the C library that PONDREL uses.
# OUTDIR receives the console log. INIT names another init beside this
# file, such as systemd-init.sh for the systemd suite. With UML_MODE=traffic
# in the environment init.sh runs bench/traffic.sh's matrix instead, which
# takes minutes, and OUTDIR receives traffic-runs.tsv as well; with
# UML_MODE=load, bench/load.sh's load tests, and their tables and flent's
# data files (bench/guest/load.sh); with UML_MODE=autorate, the
# controller's bench of bench/autorate.sh (bench/guest/autorate.sh). With
# UML_MODE=demo it runs scripts/demo.sh's demo, which uses none of
# WIRE_CHECK, RACE and STRERROR (/dev/null will do), and only the demo's
# lines are shown. The suite also runs the gtest program that KERNEL_TEST
# in the environment names. UML_KERNEL names another user-mode kernel than
# the linux.uml on the PATH, and UML_MODULES the folder of its modules
# (tests/uml/newest.sh boots sid's so), and UML_TC a tc that knows that
# kernel's kinds.
set -eu
if [ $# -ne 5 ] && [ $# -ne 6 ]; then
	echo "usage: run.sh PONDREL WIRE_CHECK RACE STRERROR OUTDIR [INIT]" >&2
	exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$5"
out=$(cd "$5" && pwd)
rm -f "$out/console" "$out/traffic-runs.tsv"
mode=${UML_MODE:-suite}
# The guest is judged on what it prints: tests/common/watchdog.sh stops it
# after a minute of silence. These limits are only backstops, three times
# or more the guest's time on a busy machine (the suite took up to 420 s
# beside the systemd one, which takes 70 to 140 s).
limit=1500
[ "${6:-}" != systemd-init.sh ] || limit=600
[ "$mode" = traffic ] && limit=3600
[ "$mode" = load ] && limit=4500
[ "$mode" = demo ] && limit=450
kernel=${UML_KERNEL:-linux.uml}
if ! command -v "$kernel" >/dev/null; then
	echo "FAIL: $kernel is missing; scripts/deps.sh installs user-mode-linux" >&2
	exit 1
fi
printf 'PONDREL=%s\nWIRE_CHECK=%s\nRACE=%s\nSTRERROR=%s\nKERNEL_TEST=%s\n' \
	"$(realpath "$1")" "$(realpath "$2")" "$(realpath "$3")" "$(realpath "$4")" \
	"${KERNEL_TEST:+$(realpath "$KERNEL_TEST")}" >"$out/env"

status=0
start=$(date +%s)
# Unknown key=value words on the kernel's command line reach init's
# environment: that is how init.sh learns where to write.
sh "$here/../common/watchdog.sh" "$out/console" $limit "$kernel" mem=256M \
	rootfstype=hostfs rootflags=/ rw init="$here/${6:-init.sh}" UML_OUT="$out" \
	UML_MODE="$mode" UML_PART="${UML_PART:-whole}" \
	UML_MODULES="${UML_MODULES:-/usr/lib/uml/modules}" UML_TC="${UML_TC:-tc}" con=null con0=null,fd:1 || status=$?
secs=$(($(date +%s) - start))
name="uml ${6:+${6%-init.sh} }$mode${UML_PART:+ ($UML_PART)}"

if [ "$mode" = demo ] && grep -q '^pondrel-uml: demo' "$out/console"; then
	# The console ends its lines with CR LF.
	tr -d '\r' <"$out/console" | sed -n '/^pondrel-uml: demo$/,/^pondrel-uml: end of suite/p' |
		sed '1d; /^ok - /d; /^pondrel-uml: end of suite, 0 failed$/d'
elif grep -q 'as init process' "$out/console"; then
	sed -n '/as init process/,$p' "$out/console"
else
	tail -n 40 "$out/console"
fi
if ! grep -q '^pondrel-uml: end of suite' "$out/console"; then
	echo "FAIL: $name: the user-mode kernel did not run the suite to its end" \
		"(exit status $status, $secs s); see $out/console" >&2
	exit 1
fi
if ! grep -q '^pondrel-uml: end of suite, 0 failed' "$out/console"; then
	echo "FAIL: $name: checks failed ($secs s)" >&2
	exit 1
fi
[ "$mode" = demo ] || echo "$name: passed in $secs s"
