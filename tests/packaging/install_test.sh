#!/bin/sh
# Installs a built tree into a scratch DESTDIR and checks that exactly the
# binary and the manual page land where GNUInstallDirs puts them, and that
# both are the ones this tree holds.
set -eu
build=$1
page=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

DESTDIR=$dest cmake --install "$build" --prefix /opt/pondrel-check >/dev/null

found=$(cd "$dest" && find . -type f | sort)
want='./opt/pondrel-check/sbin/pondrel
./opt/pondrel-check/share/man/man8/pondrel.8.gz'
if [ "$found" != "$want" ]; then
	printf 'installed files:\n%s\nexpected:\n%s\n' "$found" "$want" >&2
	exit 1
fi

if ! gzip -dc "$dest/opt/pondrel-check/share/man/man8/pondrel.8.gz" | cmp -s - "$page"; then
	echo "installed manual page differs from $page" >&2
	exit 1
fi

status=0
err=$("$dest/opt/pondrel-check/sbin/pondrel" 2>&1 >/dev/null) || status=$?
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'
if [ "$status" -ne 1 ] || [ "$err" != "$usage" ]; then
	echo "installed binary gave status $status and: $err" >&2
	exit 1
fi
echo "DESTDIR install holds sbin/pondrel and share/man/man8/pondrel.8.gz"
