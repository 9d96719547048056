// The fuzz targets' stand-in for the fatal reports: linked in their place,
// so report.o is never pulled from the archive and a fatal path returns to
// the target, which then knows which one was taken, instead of exiting.
#pragma once

#include <stdio.h>
#include <stdlib.h>

enum fatal_path { NO_EXIT, EXIT_USAGE, EXIT_RATE_TOO_HIGH, EXIT_ERRNO };

// Runs body(arg) and tells which fatal path, if any, ended it.
fatal_path run_catching_exits(void (*body)(void *), void *arg);

// Parses a rate argument; the rate is set only when it was accepted.
fatal_path parse_rate_caught(const char *text, double *rate);

// An invariant the fuzzer must never break: abort is what libFuzzer catches.
#define REQUIRE(cond)                                                          \
	do {                                                                   \
		if (!(cond)) {                                                 \
			fprintf(stderr, "%s:%d: broken: %s\n", __FILE__,       \
				__LINE__, #cond);                              \
			abort();                                               \
		}                                                              \
	} while (0)
