// Any argument text through the rate check: it must be refused, as
// malformed or too high, or give a rate that the kernel's 32-bit field
// holds, without reading past the text or changing it.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "src/cli/cli.h"
#include "tests/fuzz/require.h"

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

	double rate = 0, shaped_rate = 0;
	rate_check got = check_rate_arg(text, false, &rate);
	REQUIRE(memcmp(text, data, size) == 0);
	// A shaped mode differs only in refusing a rate below a byte a second.
	bool below_byte = got == rate_check::ok && rate >= 0 && rate < 1.0;
	REQUIRE(check_rate_arg(text, true, &shaped_rate) ==
		(below_byte ? rate_check::malformed : got));
	REQUIRE(shaped_rate == rate);

	if (strcmp(text, "-") == 0) {
		REQUIRE(got == rate_check::ok && rate == NO_LIMIT);
	} else if (got == rate_check::ok) {
		REQUIRE(isfinite(rate));
		REQUIRE(!(rate < 0));
		REQUIRE(rate < RATE_BOUND);
		// Whatever path the text took, the value is strtod's.
		REQUIRE(rate == strtod(text, nullptr) * BYTES_PER_KBIT);
		// Trailing blanks are never part of a number.
		text[size] = ' ';
		text[size + 1] = '\0';
		REQUIRE(check_rate_arg(text, false, &rate) ==
			rate_check::malformed);
	}
	free(text);
	return 0;
}
