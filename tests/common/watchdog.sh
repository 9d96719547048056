#!/bin/sh
# Runs a guest (a user-mode kernel, an emulated board) with its console in
# LOG, and judges it on progress rather than on the machine's speed: the
# guest is stopped when LOG has not grown for 60 s (GUEST_SILENCE), and only
# as a backstop after LIMIT s, far beyond its time on a busy machine. A
# stopped guest's status is 124, with the reason on standard error. With
# GUEST_SLOTS naming a directory, the guest first waits for one of two
# lock files in it, so that no more than two guests share two cores.
# Usage: watchdog.sh LOG LIMIT COMMAND...
set -eu
log=$1
limit=$2
shift 2
quiet=${GUEST_SILENCE:-60}
rm -f "$log.why"
while [ -n "${GUEST_SLOTS:-}" ]; do
	# The guest inherits the descriptor: the slot is free when it is gone.
	exec 9>"$GUEST_SLOTS/1" && flock -n 9 && break
	exec 9>"$GUEST_SLOTS/2" && flock -n 9 && break
	sleep 1
done
# timeout passes a TERM on to the guest's whole process group.
timeout -k 5 "$limit" "$@" </dev/null >"$log" 2>&1 &
guest=$!
# timeout keeps a process group of its own: a run that is ended ends it.
trap 'kill "$guest" 2>/dev/null; exit 143' INT TERM HUP
(
	exec 9>&-
	size=0
	last=$(date +%s)
	while sleep 2 && kill -0 "$guest" 2>/dev/null; do
		now=$(date +%s)
		s=$(wc -c <"$log")
		[ "$s" = "$size" ] || { size=$s; last=$now; }
		if [ $((now - last)) -ge "$quiet" ]; then
			echo "its console was silent for $((now - last)) s" >"$log.why"
			kill "$guest"
			exit
		fi
	done
) &
dog=$!
st=0
wait "$guest" || st=$?
kill "$dog" 2>/dev/null || :
wait "$dog" 2>/dev/null || :
if [ -s "$log.why" ]; then
	echo "watchdog: stopped: $(cat "$log.why")" >&2
	rm -f "$log.why"
	exit 124
fi
rm -f "$log.why"
[ "$st" != 124 ] || echo "watchdog: stopped: still running after the backstop of $limit s" >&2
exit "$st"
