#!/bin/sh
# Installs, builds and runs every test. Needs root: the tests make their
# own network and mount namespaces and must fail, not skip, without them.
# The first failing stage stops the run with a non-zero status.
set -eu
cd "$(dirname "$0")/.."
arches="amd64 arm64 armhf mipsel s390x"
# Every stage's packages in one apt-get run: apt reads its lists once, and
# none installs while another stage runs beside it.
# shellcheck disable=SC2086 # one word per architecture, package
extra="$(sh scripts/bigendian.sh --packages) $(sh scripts/static-build.sh --packages $arches)
	$(sh tests/boards/run.sh --packages --ci)"
# shellcheck disable=SC2086
for a in $(printf '%s\n' $extra | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
	dpkg --add-architecture "$a"
done
# shellcheck disable=SC2086 # one word per package
sh scripts/deps.sh $extra
sh scripts/build.sh -DPONDREL_TESTS=ON

stages=0
stage() {
	echo "== $*"
	"$@"
	stages=$((stages + 1))
}
# The user-mode kernels wait more than they compute: two at a time.
stage ctest --test-dir build --output-on-failure -j2
stage sh scripts/package-test.sh
stage sh scripts/sanitize.sh
stage sh scripts/bigendian.sh
# Builds every board's static binary and runs the suite on the amd64 one.
stage sh scripts/static-test.sh
# Each other board's static binary on every Debian kernel series of its own
# architecture that the archive offers (the table in run.sh).
stage sh tests/boards/run.sh --ci
echo "stages: $stages passed, 0 failed"
