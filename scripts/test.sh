#!/bin/sh
# Installs, builds and runs every test. Needs root: the tests make their
# own network and mount namespaces and must fail, not skip, without them.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh -DPONDREL_TESTS=ON
ctest --test-dir build --output-on-failure
sh scripts/package-test.sh build
sh scripts/sanitize.sh
sh scripts/bigendian.sh
