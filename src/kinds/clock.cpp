/* The scheduler clock and the tick arithmetic both directions share. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "kinds.h"

/* A hexadecimal digit's value, or -1 for any other character. */
static int
hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c |= 0x20; /* either case */
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

/*
 * The first three fields as the kernel writes them: hexadecimal digits
 * between blanks, a field ending after eight digits, as sscanf's %08x
 * reads them. Parsed by hand: sscanf's machinery is a page of the C
 * library that a run would touch for this alone. A text without three
 * fields is as fatal to a run as a file that cannot be read.
 */
bool
parse_psched_clock(const char *text, double *ticks_per_second)
{
	unsigned int field[3] = {0, 0, 0};
	int n = 0, digits = 0, d;
	const char *p;

	for (p = text; n < 3; p++) {
		d = hex_digit(*p);
		if (digits > 0 && (d < 0 || digits == 8)) {
			digits = 0;
			if (++n == 3)
				break;
		}
		if (d >= 0) {
			field[n] = field[n] << 4 | (unsigned int)d;
			digits++;
		} else if (*p != ' ' && *p != '\t' && *p != '\n') {
			break;
		}
	}
	if (n < 3) {
		/* Nothing failed in the system: a stale errno would mislead. */
		errno = 0;
		return false;
	}

	/* A 1 GHz clock means high-resolution timers: ticks are nanoseconds. */
	if (field[2] == 1000000000)
		field[0] = field[1];
	*ticks_per_second =
	    (double)field[0] / (double)field[1] * (double)field[2];
	return true;
}

/*
 * One read of a fixed buffer: the file is a single short line, and stdio's
 * stream would cost a heap buffer (with musl, a mapping of its own) and a
 * seek back on close.
 */
bool
read_psched_clock(double *ticks_per_second)
{
	char text[64];
	ssize_t n;
	int fd;

	fd = open(PSCHED_PATH, O_RDONLY);
	n = fd < 0 ? -1 : read(fd, text, sizeof(text) - 1);
	if (n < 0)
		return false;
	close(fd);
	text[n] = '\0';
	return parse_psched_clock(text, ticks_per_second);
}

/*
 * Every computed value reaches the kernel through this one rule: truncate
 * to a signed 64-bit integer and keep the low 32 bits. Anything a plain cast
 * could not hold (NaN, infinities, beyond 2^63) becomes 0 instead of
 * undefined behaviour.
 */
uint32_t
to_u32_field(double x)
{
	if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0))
		return 0;
	return (uint32_t)(uint64_t)(int64_t)x;
}

/* Dividing first is what the kernel's own tables expect, last bit included. */
double
xmit_ticks(const struct link_terms &t, double size, uint32_t rate)
{
	return size / (double)rate * t.ticks_per_second;
}

/* ATM carries each packet in 53-byte cells of 48 bytes of payload. */
#define ATM_CELL_SIZE 53
#define ATM_CELL_PAYLOAD 48

/*
 * What a packet costs on a link of that framing, from its size with the
 * overhead already added: at least the minimum unit, and in whole cells on
 * ATM. The kernel adds a record's overhead to the length before it looks
 * up the table, so the table leaves it out, as iproute2's do.
 */
double
link_bytes(uint32_t size, const struct framing *f)
{
	if (size < f->mpu)
		size = f->mpu;
	if (f->atm)
		size = (size + ATM_CELL_PAYLOAD - 1) / ATM_CELL_PAYLOAD *
		       ATM_CELL_SIZE;
	return (double)size;
}

/*
 * The record and its table for spec's rate. uncounted is the link header
 * that this record's place does not count and the others do; it goes into
 * the overhead, so that one figure means the same everywhere.
 */
void
fill_rate_table(const struct link_terms &t, struct tc_ratespec *spec,
		rate_table table, uint32_t uncounted)
{
	int i;

	spec->cell_log = RATE_CELL_LOG;
	spec->linklayer =
	    t.framing.atm ? TC_LINKLAYER_ATM : TC_LINKLAYER_ETHERNET;
	spec->overhead = (uint16_t)(t.framing.overhead + uncounted);
	spec->mpu = t.framing.mpu;
	spec->cell_align = -1;
	for (i = 0; i < RATE_TABLE_SIZE; i++)
		table[i] = to_u32_field(xmit_ticks(
		    t, link_bytes((uint32_t)(i + 1) << RATE_CELL_LOG, &t.framing),
		    spec->rate));
}
