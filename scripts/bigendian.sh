#!/bin/sh
# Cross-builds the tests of the request bytes for s390x, a big-endian host,
# and runs them under qemu-s390x. The kernel reads most fields in the host's
# order but the filter's protocol in network order: on a little-endian host
# alone, some mix-ups of the two pass unseen.
# With --packages it only names the packages it needs.
set -eu
cd "$(dirname "$0")/.."
pkgs="g++-s390x-linux-gnu qemu-user libnl-3-dev:s390x libgtest-dev:s390x
	libgmock-dev:s390x libstdc++6:s390x"
if [ "${1:-}" = --packages ]; then
	# shellcheck disable=SC2086 # one word per package
	echo $pkgs
	exit 0
fi
dpkg --add-architecture s390x
# shellcheck disable=SC2086 # one word per package
sh scripts/deps.sh $pkgs
dir=build-s390x
tests="request_test byteorder_test arith_test envelope_test"
cmake -S . -B "$dir" -G Ninja --toolchain cmake/s390x-linux-gnu.cmake \
	-DPONDREL_TESTS=ON >/dev/null
# shellcheck disable=SC2086 # one word per target
cmake --build "$dir" --target $tests
for t in $tests; do
	echo "s390x: $t"
	qemu-s390x "$dir/tests/$t" --gtest_brief=1
done
