// What the fuzz targets hold of the code they drive.
#pragma once

#include <stdio.h>
#include <stdlib.h>

// An invariant the fuzzer must never break: abort is what libFuzzer catches.
#define REQUIRE(cond)                                                          \
	do {                                                                   \
		if (!(cond)) {                                                 \
			fprintf(stderr, "%s:%d: broken: %s\n", __FILE__,       \
				__LINE__, #cond);                              \
			abort();                                               \
		}                                                              \
	} while (0)
