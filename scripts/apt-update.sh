#!/bin/sh
# Reads apt's package lists, with apt's options given as arguments. The
# archive sometimes serves one index with the wrong size while a mirror
# syncs, and apt-get update then fails although every other list is fine.
# So it tries twice and then goes on, saying what failed: what the lists
# lack shows when apt-get install or download asks for it, in apt's words.
set -eu
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in 1 2; do
	if apt-get -o DPkg::Lock::Timeout=600 "$@" update -qq >"$log" 2>&1; then
		exit 0
	fi
	[ "$try" = 2 ] || sleep 5
done
sed 's/^/apt-update: /' "$log" >&2
echo "apt-update: some lists could not be read; going on with the rest" >&2
