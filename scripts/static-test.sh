#!/bin/sh
# Builds the static binary of every board architecture and runs the whole
# suite, the user-mode kernel's included, on the amd64 one: the tests run
# build-static-amd64/pondrel and take the expected error texts from musl.
# The other architectures' binaries need kernels of their own to run on.
# Needs root and what scripts/deps.sh installs; scripts/static-build.sh
# installs the rest.
set -eu
cd "$(dirname "$0")/.."
sh scripts/static-build.sh amd64 arm64 armhf mipsel s390x
static=$PWD/build-static-amd64
BUILD_DIR=build-static-suite sh scripts/build.sh -DPONDREL_TESTS=ON \
	-DPONDREL_BIN_UNDER_TEST="$static/pondrel" \
	-DPONDREL_STRERROR_UNDER_TEST="$static/cmake/pondrel_strerror"
ctest --test-dir build-static-suite --output-on-failure
