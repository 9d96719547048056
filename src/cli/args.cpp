/* Argument checks, apart from the exits so that they can be driven alone. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

int
resolve_interface(const struct nl_session &nl, const char *name)
{
	int ifindex = interface_index(nl, name);

	if (ifindex == 0) {
		fprintf(stderr, "invalid interface: %s\n", name);
		exit(1);
	}
	return ifindex;
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

rate_check
check_rate_arg(const char *text, bool shaped, double *rate)
{
	char *end;
	double kbits;

	if (strcmp(text, "-") == 0) {
		*rate = NO_LIMIT;
		return rate_check::ok;
	}

	if (!plain_decimal(text, &kbits)) {
		kbits = strtod(text, &end);
		/*
		 * An empty text converts to 0 and a NaN slips past every
		 * ordered comparison; either would install a zero rate and
		 * stop all traffic, so both count as malformed. "0" and "-0"
		 * stay: they are explicit.
		 */
		if (end == text || *end != '\0' || isnan(kbits) || kbits < 0.0)
			return rate_check::malformed;
	}

	*rate = kbits * BYTES_PER_KBIT;
	if (*rate >= RATE_BOUND)
		return rate_check::too_high;
	/*
	 * The kernel limits nothing at a rate field of 0: a shaper that
	 * claimed it would pass everything. The plain mode keeps the zero it
	 * always took; the shaped one refuses a rate below 1 byte/s.
	 */
	if (shaped && *rate < 1.0)
		return rate_check::malformed;
	return rate_check::ok;
}

double
parse_rate_arg(const char *text, bool shaped)
{
	double rate;

	switch (check_rate_arg(text, shaped, &rate)) {
	case rate_check::malformed:
		show_usage();
	case rate_check::too_high:
		fatal_rate_too_high();
	case rate_check::ok:
		break;
	}
	return rate;
}

bool
parse_range_arg(const char *text, struct auto_range *range)
{
	char low[32];
	const char *dash = strchr(text, '-');
	size_t n = dash != NULL ? (size_t)(dash - text) : 0;

	/* "-" alone, or a leading one, is no range. */
	if (n == 0 || n >= sizeof(low))
		return false;
	memcpy(low, text, n);
	low[n] = '\0';
	return check_rate_arg(low, true, &range->min) == rate_check::ok &&
	       check_rate_arg(dash + 1, true, &range->max) == rate_check::ok &&
	       range->min >= 0 && range->min <= range->max;
}

/*
 * A whole number of bytes up to max, in decimal digits alone: strtod would
 * take "0x10" for 16 and "1e2" for 100, which no one means by a byte count.
 */
bool
parse_bytes_arg(const char *text, unsigned int max, uint16_t *bytes)
{
	unsigned long n = 0;
	const char *p;

	for (p = text; *p >= '0' && *p <= '9' && n <= max; p++)
		n = n * 10 + (unsigned long)(*p - '0');
	if (p == text || *p != '\0' || n > max)
		return false;
	*bytes = (uint16_t)n;
	return true;
}
