// A stand-in for the exchange: records each request instead of sending it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/run/images.h"

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

// Whether the interface has an ingress qdisc for a removal to find; one
// that finds none is answered as the kernel does, tolerated.
extern bool ingress_in_force;

// Failures the shaping code reported itself, without a refused request.
extern int recorded_failures;

void reset_recorder();

// The devices that a query by name finds, as the kernel would describe
// them; any other name is not there.
struct fake_link {
	int index;
	const char *kind;
	std::string alias;
	uint8_t address[6];
	bool up;
};
extern std::map<std::string, fake_link> fake_links;
// How many devices the code under test asked the kernel about.
extern int recorded_queries;
