#!/bin/sh
# Builds the amd64 static binary and runs on it every test that runs the
# binary under test (ctest's label binary): they run
# build-static-amd64/pondrel and take the expected error texts from musl.
# The other tests link the build's own code with glibc, which the plain
# build has tested already. In the user-mode kernel only the suite's part
# that proves the binary runs (UML_MODE=static): the traffic and
# kernel_test prove the kernel, which this binary changes nothing of, and
# the systemd suite the unit, which ships only with the package's binary.
# The other architectures' binaries need kernels of their own:
# tests/boards/run.sh boots them.
# Needs root and what scripts/deps.sh installs; scripts/static-build.sh
# installs the rest.
set -eu
cd "$(dirname "$0")/.."
sh scripts/static-build.sh amd64
static=$PWD/build-static-amd64
BUILD_DIR=build-static-suite sh scripts/build.sh -DPONDREL_TESTS=ON \
	-DPONDREL_BIN_UNDER_TEST="$static/pondrel" \
	-DPONDREL_STRERROR_UNDER_TEST="$static/cmake/pondrel_strerror"
# One user-mode kernel, beside the host's tests.
UML_MODE=static ctest --test-dir build-static-suite --output-on-failure \
	-L binary -E '^uml_systemd$' -j2
