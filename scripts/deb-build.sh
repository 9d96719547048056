#!/bin/sh
# Builds the Debian package the Debian way, with dpkg-buildpackage and the
# debhelper rules in debian/, then checks it with lintian. ARCH (default:
# this machine's) is a Debian architecture; another one is a cross build,
# without tests. Needs the Build-Depends of debian/control (apt-get
# build-dep ./) and lintian; a cross build also crossbuild-essential-ARCH,
# libnl-3-dev:ARCH and pkgconf:ARCH. Leaves the .deb, .changes and the
# build log in build-deb/.
#   sh scripts/deb-build.sh [ARCH]
set -eu
cd "$(dirname "$0")/.."
out=$PWD/build-deb
arch=${1:-$(dpkg --print-architecture)}
version=$(dpkg-parsechangelog -S Version)
mkdir -p "$out"
rm -f "$out"/pondrel*_"$version"_"$arch".* "$out/build-$arch.log"

# dpkg-buildpackage writes its results beside the source, so the source is
# a copy in a scratch folder and only the results come back: nothing lands
# next to the checkout. As root, the build runs as nobody, which proves
# that the package builds without root (Rules-Requires-Root: no).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/pondrel-$version" "$tmp/home"
tar --anchored --exclude=./.git --exclude='./build*' --exclude='./obj-*' -cf - . |
	tar -xf - -C "$tmp/pondrel-$version"
as_builder=
if [ "$(id -u)" -eq 0 ]; then
	chown -R nobody:nogroup "$tmp"
	as_builder="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
opts=
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
	# Tests run the tool, which a build machine of another architecture
	# cannot; the nocheck profile also drops their build dependencies.
	opts="-a $arch -Pcross,nocheck"
	DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
	export DEB_BUILD_OPTIONS
fi
# shellcheck disable=SC2086 # one word per option
if ! (cd "$tmp/pondrel-$version" && HOME=$tmp/home $as_builder \
	dpkg-buildpackage -us -uc -b -j2 $opts >"$tmp/build.log" 2>&1); then
	cp "$tmp/build.log" "$out/build-$arch.log"
	tail -n 40 "$out/build-$arch.log" >&2
	echo "deb build: dpkg-buildpackage failed; the log is build-deb/build-$arch.log" >&2
	exit 1
fi
cp "$tmp/build.log" "$out/build-$arch.log"
cp "$tmp"/pondrel*_"$version"_"$arch".* "$out/"
name=pondrel_${version}_$arch

# The .changes brings the .deb, its debug symbols and the .buildinfo. Every
# tag is shown, informational and pedantic ones too; any error or warning
# fails, except that the project's placeholder address is not a real one.
# A publisher's own address leaves no such exception.
placeholder=pondrel@localhost
(cd "$tmp" && $as_builder env HOME="$tmp/home" lintian --display-info --pedantic \
	--fail-on none "$name.changes" "$name.deb") >"$tmp/lintian" ||
	{ cat "$tmp/lintian"; echo "deb build: lintian did not run" >&2; exit 1; }
sed 's/^/  lintian: /' "$tmp/lintian"
exempt="^E: [^ ]+( changes)?: bogus-mail-host(-in-debian-changelog)? ([A-Za-z-]+ )?$placeholder( |\$)"
bad=$(grep -E '^[EW]: ' "$tmp/lintian" | grep -vE "$exempt" || true)
if [ -n "$bad" ]; then
	echo "deb build: lintian reports errors or warnings:" >&2
	echo "$bad" >&2
	exit 1
fi
echo "deb build: build-deb/$name.deb; lintian: no error or warning but" \
	"$(grep -cE "$exempt" "$tmp/lintian" || true) for the placeholder address"
