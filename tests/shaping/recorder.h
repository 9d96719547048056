// A stand-in for the exchange: records each request instead of sending it.
#pragma once

#include <vector>

#include "tests/shaping/images.h"

struct recorded_request {
	uint16_t type;
	uint16_t flags;
	uint32_t len; // the whole message, header included
	bool tolerant;
	byte_image body;
};

extern std::vector<recorded_request> recorded;

// Answers for the next requests, in order; once used up, every answer is yes.
extern std::vector<bool> answers;

// Failures the shaping code reported itself, without a refused request.
extern int recorded_failures;

void reset_recorder();
