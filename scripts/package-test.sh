#!/bin/sh
# Builds the Debian package from a configured build tree (default build/),
# installs it into this machine with dpkg, checks that the tool runs from
# PATH and that man finds its page, then removes it again. Needs root.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'

fail() {
	echo "package test: $*" >&2
	exit 1
}

if dpkg-query -W -f='${db:Status-Status}' pondrel 2>/dev/null | grep -qx installed; then
	fail "a pondrel package is already installed; remove it first (dpkg -r pondrel)"
fi

out=$(mktemp -d)
trap 'dpkg -r pondrel >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/pondrel_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libnl-3-200; do
	echo "$depends" | grep -q "\\b$lib (>= " ||
		fail "Depends lacks a versioned $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "Section is not net"

# Some slim images tell dpkg to drop manual pages. Installing pondrel's
# page regardless keeps the check honest about the package itself, and the
# note says why a machine like that would have no page without it.
include=
if grep -qs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
	echo "package test: this machine's dpkg excludes /usr/share/man; re-including pondrel's page"
	include=--path-include=/usr/share/man/man8/pondrel.8.gz
fi
dpkg -i $include "$deb" >/dev/null

[ "$(command -v pondrel)" = /usr/sbin/pondrel ] ||
	fail "pondrel from PATH is '$(command -v pondrel || true)', not /usr/sbin/pondrel"
status=0
err=$(pondrel 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] || fail "pondrel without arguments exited $status, not 1"
[ "$err" = "$usage" ] || fail "pondrel without arguments said: $err"

page=$(man -w pondrel) || fail "man -w pondrel finds no page"
[ "$page" = /usr/share/man/man8/pondrel.8.gz ] || fail "man -w pondrel gave $page"
man 8 pondrel 2>/dev/null | grep -q 'limit the bandwidth of a network interface' ||
	fail "man 8 pondrel does not show the page"

# The ifupdown hooks as the package installed them, under a real ifup.
sh tests/service/ifupdown.sh || fail "the ifupdown hooks failed their test"

dpkg -r pondrel >/dev/null
state=$(dpkg-query -W -f='${db:Status-Status}' pondrel 2>/dev/null || true)
[ "$state" = not-installed ] || [ -z "$state" ] || fail "after dpkg -r the package is '$state'"
for f in /usr/sbin/pondrel /usr/share/man/man8/pondrel.8.gz; do
	[ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
if command -v pondrel >/dev/null; then
	fail "pondrel is still on PATH after dpkg -r"
fi
echo "package test: $(basename "$deb") installed, ran, showed its page and was removed"
