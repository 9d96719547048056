#!/bin/sh
# Builds the static binary of every board architecture and runs on the amd64
# one every test that runs the binary under test (ctest's label binary), the
# user-mode kernel's included: they run build-static-amd64/pondrel and take
# the expected error texts from musl. The other tests link the build's own
# code with glibc, which the plain build has tested already. The other
# architectures' binaries need kernels of their own to run on.
# Needs root and what scripts/deps.sh installs; scripts/static-build.sh
# installs the rest.
set -eu
cd "$(dirname "$0")/.."
sh scripts/static-build.sh amd64
# The other four build while the suite runs, which mostly waits on the
# user-mode kernel: that halves this stage's time on a fresh clone.
mkdir -p build-static-suite
log=build-static-suite/cross-build.log
sh scripts/static-build.sh arm64 armhf mipsel s390x >"$log" 2>&1 &
cross=$!
static=$PWD/build-static-amd64
st=0
{ BUILD_DIR=build-static-suite sh scripts/build.sh -DPONDREL_TESTS=ON \
	-DPONDREL_BIN_UNDER_TEST="$static/pondrel" \
	-DPONDREL_STRERROR_UNDER_TEST="$static/cmake/pondrel_strerror" &&
	ctest --test-dir build-static-suite --output-on-failure -L binary -j2; } || st=$?
cst=0
wait $cross || cst=$?
grep -v '^\[' "$log"
[ $cst -eq 0 ] || echo "FAIL: the static builds for arm64 armhf mipsel s390x failed" >&2
[ $st -eq 0 ] || echo "FAIL: the suite on build-static-amd64/pondrel failed" >&2
[ $st -eq 0 ] && [ $cst -eq 0 ]
