/* Command line and diagnostics: argument checks and the one-line reports. */
#pragma once

#include <stdint.h>

/* A rate value is a double in bytes per second; below zero means "-". */
#define NO_LIMIT (-1.0)

/* Kbit/s on the command line are 1000 bit/s, so 125 bytes per second. */
#define BYTES_PER_KBIT 125.0

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

/* Set by --shape: ingress through an IFB, buckets sized by the rate. */
extern bool shaped_mode;
/* Set by --cake, with shaped_mode: cake in place of each tbf and its child. */
extern bool cake_mode;
/* Set by --status or --json: read back the limits instead of setting them. */
extern bool status_mode;
extern bool json_output;

int parse_options(int argc, char *argv[]);
[[noreturn]] void show_usage(void);
void resolve_interface(const char *name);
double parse_rate_arg(const char *text);
bool rates_valid(const char *ingress, const char *egress);
int lock_interface(const char *name);
uint16_t parse_bytes_arg(const char *text, unsigned int max);
int show_status(const char *name);

void report_error(const char *what, int err);
[[noreturn]] void fatal_errno(const char *what);
[[noreturn]] void fatal_rate_too_high(void);
