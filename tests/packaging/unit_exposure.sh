#!/bin/sh
# Rates the systemd unit with systemd-analyze security, offline (the unit
# as written, not as this machine would run it), and fails when its
# exposure is above LIMIT (0.0 to 10.0), so that a protection dropped or
# loosened in the unit shows here. Prints the rating's last line and what
# the unit still leaves open.
# Needs systemd-analyze (systemd). Usage: unit_exposure.sh UNIT LIMIT
set -eu
unit=$1
limit=$2
# --threshold counts in tenths of the figure that the last line shows.
status=0
out=$(systemd-analyze security --offline=yes \
	--threshold="$(echo "$limit" | awk '{ print int($1 * 10 + 0.5) }')" "$unit" 2>&1) || status=$?
echo "$out" | grep '✗' || :
echo "$out" | tail -n 1
if [ "$status" -ne 0 ]; then
	echo "systemd-analyze security: status $status for $unit, above $limit or failed" >&2
	exit 1
fi
