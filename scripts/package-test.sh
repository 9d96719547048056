#!/bin/sh
# Builds the Debian package with scripts/deb-build.sh (debhelper, lintian),
# installs it into this machine with dpkg, checks that every file is where
# Debian's policy puts it and holds what the tree has, that the tool runs
# from PATH and is hardened and that man finds its page, then removes it and
# checks that nothing of it is left. Needs root and scripts/deps.sh's packages.
set -eu
cd "$(dirname "$0")/.."
usage='Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-'

fail() {
	echo "package test: $*" >&2
	exit 1
}

if dpkg-query -W -f='${db:Status-Status}' pondrel 2>/dev/null | grep -qx installed; then
	fail "a pondrel package is already installed; remove it first (dpkg -r pondrel)"
fi

sh scripts/deb-build.sh
deb=build-deb/pondrel_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libnl-3-200; do
	echo "$depends" | grep -q "\\b$lib (>= " ||
		fail "Depends lacks a versioned $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "Section is not net"

tmp=$(mktemp -d)
trap 'dpkg -P pondrel >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT

# Some slim images tell dpkg to drop manual pages and documentation.
# Installing pondrel's regardless keeps the checks honest about the package
# itself, and the note says why such a machine would lack them without it.
include=
if grep -qs '^path-exclude.*/usr/share/\(man\|doc\)' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
	echo "package test: this machine's dpkg excludes manual pages or docs; re-including pondrel's"
	include="--path-include=/usr/share/man/man8/pondrel.8.gz --path-include=/usr/share/doc/pondrel/*"
fi
# shellcheck disable=SC2086 # one word per option
dpkg -i $include "$deb" >/dev/null

# Where Debian's policy puts each file, and what each must hold: the page
# as man/ has it, the copyright file and changelog as debian/ has them, the
# unit, the hooks and the example as service/ has them.
while read -r path source; do
	[ -f "$path" ] || fail "$path is not installed"
	case $path in
	*.gz) gzip -dc "$path" >"$tmp/file" ;;
	*) cp "$path" "$tmp/file" ;;
	esac
	cmp -s "$tmp/file" "$source" || fail "$path is not $source"
done <<EOF
/usr/share/man/man8/pondrel.8.gz man/pondrel.8
/usr/share/doc/pondrel/copyright debian/copyright
/usr/share/doc/pondrel/changelog.gz debian/changelog
/lib/systemd/system/pondrel@.service service/pondrel@.service
/etc/network/if-up.d/pondrel service/if-up.d/pondrel
/etc/network/if-post-down.d/pondrel service/if-post-down.d/pondrel
/usr/share/doc/pondrel/examples/example.conf service/example.conf
EOF
# The copyright file's licence text is the one at the top of the tree.
sed -n '/^Permission/,$p' LICENSE >"$tmp/licence"
awk '/^License: Expat$/ { on = 1; next }
	on && /^ / { sub(/^ /, ""); if ($0 == ".") $0 = ""; print; next }
	{ on = 0 }' debian/copyright | cmp -s - "$tmp/licence" ||
	fail "the Expat text of debian/copyright is not the one in LICENSE"

bin=/usr/sbin/pondrel
[ "$(command -v pondrel)" = $bin ] ||
	fail "pondrel from PATH is '$(command -v pondrel || true)', not $bin"
status=0
err=$(pondrel 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] || fail "pondrel without arguments exited $status, not 1"
[ "$err" = "$usage" ] || fail "pondrel without arguments said: $err"

# dpkg-buildflags' hardening, as the installed binary shows it.
readelf -h -l -d -W $bin >"$tmp/elf"
nm -D --undefined-only $bin >"$tmp/imports"
while read -r what file pattern; do
	grep -q -- "$pattern" "$tmp/$file" || fail "$bin lacks $what: no $pattern in its $file"
done <<'EOF'
PIE elf Position-Independent
relro elf GNU_RELRO
bind-now elf BIND_NOW
stack-protector imports __stack_chk_fail@
fortify imports __[a-z]*_chk@
EOF

page=$(man -w pondrel) || fail "man -w pondrel finds no page"
[ "$page" = /usr/share/man/man8/pondrel.8.gz ] || fail "man -w pondrel gave $page"
man 8 pondrel 2>/dev/null | grep -q 'limit the bandwidth of a network interface' ||
	fail "man 8 pondrel does not show the page"

# The ifupdown hooks as the package installed them, under a real ifup.
sh tests/service/ifupdown.sh || fail "the ifupdown hooks failed their test"

# Removing leaves only what dpkg keeps on purpose, the conffiles, and
# purging takes those too. A directory may stay only while another package
# owns it.
files=$(dpkg -L pondrel | grep -vx '/\.')
conffiles=$(dpkg-query -W -f='${Conffiles}\n' pondrel | awk 'NF { print $1 }')
left() { # paths...: those still there, other than another package's directory
	for p in "$@"; do
		[ -e "$p" ] || continue
		[ -d "$p" ] && dpkg-query -S "$p" >/dev/null 2>&1 && continue
		echo "$p"
	done
}
dpkg -r pondrel >/dev/null
# shellcheck disable=SC2046 # one word per path: dpkg's paths have no blanks
stay=$(left $(echo "$files" | grep -vxF "$conffiles"))
[ -z "$stay" ] || fail "after dpkg -r these are still there: $stay"
if [ "$(dpkg-query -W -f='${db:Status-Status}' pondrel 2>/dev/null)" = config-files ]; then
	dpkg -P pondrel >/dev/null
fi
# shellcheck disable=SC2086
stay=$(left $files)
[ -z "$stay" ] || fail "after dpkg -P these are still there: $stay"
state=$(dpkg-query -W -f='${db:Status-Status}' pondrel 2>/dev/null || true)
[ "$state" = not-installed ] || [ -z "$state" ] || fail "after removal the package is '$state'"
! command -v pondrel >/dev/null || fail "pondrel is still on PATH after dpkg -r"
echo "package test: $(basename "$deb") installed, ran and showed its page;" \
	"none of its $(echo "$files" | wc -l) paths is left after dpkg -r and -P"
