#!/bin/sh
# Installs a built tree into a scratch DESTDIR and checks that exactly the
# binary, the manual page, the service managers' files and the example land
# where GNUInstallDirs and the build's cache put them, and that they are the
# ones this tree holds, with the hooks executable.
# Usage: install_test.sh BUILD PAGE SERVICE_DIR UNITDIR IFUPDOWN_DIR
set -eu
build=$1
page=$2
service=$3
unitdir=$4
ifupdown=$5
# A relative unit directory is under the prefix, like the binary.
case $unitdir in
/*) ;;
*) unitdir=/opt/pondrel-check/$unitdir ;;
esac
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

DESTDIR=$dest cmake --install "$build" --prefix /opt/pondrel-check >/dev/null

found=$(cd "$dest" && find . -type f | sort)
# The hooks, and a unit given by an absolute path, go where the build was
# configured to put them, which an install-time prefix does not move.
want=$(printf '%s\n' ./opt/pondrel-check/sbin/pondrel \
	./opt/pondrel-check/sbin/pondrel-auto \
	./opt/pondrel-check/share/man/man8/pondrel.8.gz \
	./opt/pondrel-check/share/doc/pondrel/examples/example.conf \
	".$unitdir/pondrel@.service" ".$unitdir/pondrel-auto@.service" \
	".$ifupdown/if-up.d/pondrel" \
	".$ifupdown/if-post-down.d/pondrel" | sort)
if [ "$found" != "$want" ]; then
	printf 'installed files:\n%s\nexpected:\n%s\n' "$found" "$want" >&2
	exit 1
fi

if ! gzip -dc "$dest/opt/pondrel-check/share/man/man8/pondrel.8.gz" | cmp -s - "$page"; then
	echo "installed manual page differs from $page" >&2
	exit 1
fi

for f in pondrel@.service:"$unitdir/pondrel@.service" \
	pondrel-auto@.service:"$unitdir/pondrel-auto@.service" \
	if-up.d/pondrel:"$ifupdown/if-up.d/pondrel" \
	if-post-down.d/pondrel:"$ifupdown/if-post-down.d/pondrel" \
	example.conf:/opt/pondrel-check/share/doc/pondrel/examples/example.conf; do
	if ! cmp -s "$service/${f%%:*}" "$dest${f#*:}"; then
		echo "installed ${f#*:} differs from $service/${f%%:*}" >&2
		exit 1
	fi
done
for f in if-up.d if-post-down.d; do
	if [ ! -x "$dest$ifupdown/$f/pondrel" ]; then
		echo "installed $ifupdown/$f/pondrel is not executable" >&2
		exit 1
	fi
done

status=0
err=$("$dest/opt/pondrel-check/sbin/pondrel" 2>&1 >/dev/null) || status=$?
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'
if [ "$status" -ne 1 ] || [ "$err" != "$usage" ]; then
	echo "installed binary gave status $status and: $err" >&2
	exit 1
fi
echo "DESTDIR install holds the binary, its page, the unit, the hooks and the example"
