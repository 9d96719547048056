#!/bin/sh
# Checks a systemd unit with systemd-analyze verify, as an instance for
# eth0, with the manual page it names found in the build. Any message at
# all fails, since verify reports some mistakes only as warnings; but not
# those about the machine's own units, which verify reads too (irtt's
# unit, from the bench's packages, draws one).
# Needs systemd-analyze (systemd). Usage: verify_unit.sh UNIT PAGE
set -eu
unit=$1
page=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/man8"
cp "$page" "$dir/man8/"
name=$(basename "$unit" | sed 's/@/@eth0/')
cp "$unit" "$dir/$name"
status=0
out=$(MANPATH=$dir systemd-analyze verify "$dir/$name" 2>&1) || status=$?
out=$(printf '%s\n' "$out" | grep -v '^/\(usr/\)\{0,1\}lib/systemd/system/\|^/etc/systemd/system/' || :)
if [ "$status" -ne 0 ] || [ -n "$out" ]; then
	echo "$out"
	echo "systemd-analyze verify: status $status for $unit" >&2
	exit 1
fi
echo "$unit: systemd-analyze verify accepts it as $name"
