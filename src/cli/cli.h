/* Command line and diagnostics: argument checks and the one-line reports. */
#pragma once

#include <stdint.h>

#include "../run/run.h"
#include "../devices/devices.h"
#include "../auto/auto.h"

/* A rate value is a double in bytes per second; below zero means "-". */
#define NO_LIMIT (-1.0)

/* The rate travels in an unsigned 32-bit field: it must stay below 2^32. */
#define RATE_BOUND 4294967296.0

/* Scripts match this line: it never changes, whatever options come. */
#define USAGE_TEXT                                                             \
	"Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-\n"

/*
 * The framing options' bounds: the fields are 16-bit, and the policer's
 * overhead may take the 14 bytes of an Ethernet header on top.
 */
#define OVERHEAD_MAX (65535 - 14)
#define MPU_MAX 65535
/*
 * cake's own field is signed and 16 bits wide; what tc lets a user give it
 * is at most 256, and pondrel takes no more, the link header aside.
 */
#define CAKE_OVERHEAD_MAX 256

/* What the options before the interface asked for. */
struct options {
	const struct mode *how;
	bool status, json;
	struct framing framing;
	bool framing_given;
	/* For a rate range: where delay is measured, and whether each
	 * change is told. */
	struct in_addr reflectors[REFLECTORS_MAX];
	int reflectors_given;
	bool verbose, remove_at_exit;
	const char *config; /* reread on SIGHUP, or NULL */
};

int parse_options(int argc, char *argv[], struct options *o);
[[noreturn]] void show_usage(void);
int resolve_interface(const struct nl_session &nl, const char *name);

/* What checking a rate argument found: a value, or which way it fails. */
enum class rate_check { ok, malformed, too_high };
rate_check check_rate_arg(const char *text, bool shaped, double *rate);
double parse_rate_arg(const char *text, bool shaped);
/* MIN-MAX, both rates as the shaped modes take them, MIN at most MAX. */
bool parse_range_arg(const char *text, struct auto_range *range);
/* A whole number of bytes up to max, or false. */
bool parse_bytes_arg(const char *text, unsigned int max, uint16_t *bytes);

/*
 * pondrel-auto's: drives the ranges of dirs, set up at their least rates,
 * until a signal or another run's limit ends it. The exit status.
 */
int drive_ranges(struct run &r, const struct options &o, struct driven *dirs);
/* pondrel-auto's, first: a start that fails is told to a manager that waits. */
void watch_start(void);

void report_error(const char *what, int err);
[[noreturn]] void fatal(const struct failure &f);
[[noreturn]] void fatal_rate_too_high(void);
