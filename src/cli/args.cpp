/* Argument checks, apart from the exits so that they can be driven alone. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "../netlink/netlink.h"

void
resolve_interface(const char *name)
{
	target_name = name;
	target_ifindex = interface_index(name);
	if (target_ifindex == 0) {
		fprintf(stderr, "invalid interface: %s\n", name);
		exit(1);
	}
}

double
parse_rate_arg(const char *text)
{
	char *end;
	double kbits, rate;

	if (strcmp(text, "-") == 0)
		return NO_LIMIT;

	kbits = strtod(text, &end);
	/*
	 * An empty text converts to 0 and a NaN slips past every ordered
	 * comparison; either would install a zero rate and stop all traffic,
	 * so both count as malformed. "0" and "-0" stay: they are explicit.
	 */
	if (end == text || *end != '\0' || isnan(kbits) || kbits < 0.0)
		show_usage();

	rate = kbits * BYTES_PER_KBIT;
	if (rate >= RATE_BOUND)
		fatal_rate_too_high();
	return rate;
}
