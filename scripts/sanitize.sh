#!/bin/sh
# Builds everything again with clang under ASan and UBSan into
# build-sanitize/ and runs the whole suite there, the fuzz targets for a
# bounded time each. Any report fails the test it happens in, the tool's
# own runs included: they inherit these options.
set -eu
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ BUILD_DIR=build-sanitize \
	sh scripts/build.sh -DPONDREL_TESTS=ON -DPONDREL_SANITIZE=ON
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:exitcode=86
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
# Two at a time: the fuzz targets take a core each for their whole time.
ctest --test-dir build-sanitize --output-on-failure -j2
# How far each fuzz target got without a finding.
awk '/ Testing: / { name = $3 }
	/number_of_executed_units/ { print name ": " $2 " runs, no finding" }' \
	build-sanitize/Testing/Temporary/LastTest.log
