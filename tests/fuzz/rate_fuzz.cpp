// Any argument text through the rate check: it must be refused through one
// of the two fatal paths, or give a rate that the kernel's 32-bit field
// holds, without reading past the text or changing it.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "src/cli/cli.h"
#include "tests/fuzz/exits.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// A command-line argument cannot hold a NUL.
	if (memchr(data, 0, size) != nullptr)
		return 0;
	// Sized exactly, so that ASan sees a read past the terminator; room
	// for one more byte, the blank appended below.
	char *text = static_cast<char *>(malloc(size + 2));
	memcpy(text, data, size);
	text[size] = '\0';

	double rate = 0;
	fatal_path path = parse_rate_caught(text, &rate);
	REQUIRE(memcmp(text, data, size) == 0);

	if (strcmp(text, "-") == 0) {
		REQUIRE(path == NO_EXIT && rate == NO_LIMIT);
	} else if (path == NO_EXIT) {
		REQUIRE(isfinite(rate));
		REQUIRE(!(rate < 0));
		REQUIRE(rate < RATE_BOUND);
		// Whatever path the text took, the value is strtod's.
		REQUIRE(rate == strtod(text, nullptr) * BYTES_PER_KBIT);
		// Trailing blanks are never part of a number.
		text[size] = ' ';
		text[size + 1] = '\0';
		REQUIRE(parse_rate_caught(text, &rate) == EXIT_USAGE);
	} else {
		REQUIRE(path == EXIT_USAGE || path == EXIT_RATE_TOO_HIGH);
	}
	free(text);
	return 0;
}
