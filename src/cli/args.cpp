/* Argument checks, apart from the exits so that they can be driven alone. */
#include <math.h>
#include <stdint.h>
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

/*
 * Nearly every rate is a few decimal digits, perhaps with a fraction: an
 * integer of at most 15 digits, below 2^53, over a power of ten up to
 * 10^15, both exact in a double. One division then rounds correctly, to the
 * very value strtod gives. It spares the run strtod's general parser,
 * whose large frame and tables cost first touches of memory; any other
 * text goes to strtod. False when the text is not of that form.
 */
static bool
plain_decimal(const char *text, double *value)
{
	uint64_t digits = 0;
	double scale = 1.0; /* powers of ten up to 10^22 are exact */
	bool point = false;
	int count = 0;
	const char *p;

	for (p = text; *p != '\0'; p++) {
		if (*p == '.' && !point) {
			point = true;
			continue;
		}
		if (*p < '0' || *p > '9' || count == 15)
			return false;
		digits = digits * 10 + (uint64_t)(*p - '0');
		count++;
		if (point)
			scale *= 10.0;
	}
	if (count == 0)
		return false;
	*value = (double)digits / scale;
	return true;
}

double
parse_rate_arg(const char *text)
{
	char *end;
	double kbits, rate;

	if (strcmp(text, "-") == 0)
		return NO_LIMIT;

	if (!plain_decimal(text, &kbits)) {
		kbits = strtod(text, &end);
		/*
		 * An empty text converts to 0 and a NaN slips past every
		 * ordered comparison; either would install a zero rate and
		 * stop all traffic, so both count as malformed. "0" and "-0"
		 * stay: they are explicit.
		 */
		if (end == text || *end != '\0' || isnan(kbits) || kbits < 0.0)
			show_usage();
	}

	rate = kbits * BYTES_PER_KBIT;
	if (rate >= RATE_BOUND)
		fatal_rate_too_high();
	return rate;
}

/* A whole number of bytes up to max, checked as strictly as a rate. */
uint16_t
parse_bytes_arg(const char *text, unsigned int max)
{
	char *end;
	double bytes = strtod(text, &end);

	/* NaN fails the ordered test, fractions the round trip. */
	if (end == text || *end != '\0' || !(bytes >= 0.0 && bytes <= max) ||
	    (double)(unsigned int)bytes != bytes)
		show_usage();
	return (uint16_t)bytes;
}
