#!/bin/sh
# Proves that scripts/apt-update.sh goes on past a list that cannot be read:
# with the machine's own sources and one more naming a suite that does not
# exist, it exits 0, names that suite, and apt still finds a package there.
# apt reads into lists of this test's own; the machine's stay untouched.
# Needs root and the machine's archive: without them it fails.
set -eu
d=$(mktemp -d)
trap 'rm -rf "$d"' EXIT
chmod 755 "$d"
mkdir -p "$d/parts" "$d/lists/partial"
cp /etc/apt/sources.list "$d/parts/machine.list" 2>/dev/null || :
find /etc/apt/sources.list.d -name '*.list' -o -name '*.sources' | xargs -r cp -t "$d/parts"
uri=$(cat "$d"/parts/* | sed -n 's/^URIs: *\([^ ]*\).*/\1/p
	s/^deb \(\[[^]]*\] *\)\{0,1\}\([^ ]*\) .*/\2/p' | head -n 1)
printf 'Types: deb\nURIs: %s\nSuites: pondrel-no-such-suite\nComponents: main\n' \
	"$uri" >"$d/parts/missing.sources"
set -- -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$d/parts" \
	-o Dir::State::Lists="$d/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
	-o APT::Architectures="$(dpkg --print-architecture)" -o Acquire::Languages=none
sh "$(dirname "$0")/../scripts/apt-update.sh" "$@" 2>"$d/err" || {
	cat "$d/err"
	echo "FAIL: apt-update.sh stopped at the missing suite"
	exit 1
}
grep -q 'pondrel-no-such-suite' "$d/err" || {
	cat "$d/err"
	echo "FAIL: apt-update.sh did not name the suite it could not read"
	exit 1
}
apt-get "$@" --print-uris download hello | grep -q "^'$uri" || {
	echo "FAIL: apt finds no package at $uri after the update"
	exit 1
}
echo "apt-update.sh went on past pondrel-no-such-suite; apt finds hello at $uri"
