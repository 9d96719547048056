/* Options: what comes before the interface when the call is not three words. */
#include <arpa/inet.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "cli.h"

/* Long options alone have codes beyond any character. */
enum {
	OPT_OVERHEAD = 256,
	OPT_MPU,
	OPT_ATM,
	OPT_CAKE,
	OPT_REFLECTOR,
	OPT_CONFIG,
	OPT_REMOVE
};

/* One line an option, as the help prints it: kept whole for reading. */
/* clang-format off */
static const char HELP[] =
    "  -s, --shape    shape ingress through an IFB too, each shaper with a fair queue\n"
    "      --cake     the same, each direction queued in cake, fair between hosts\n"
    "      --status   show the limits in force on INTERFACE, with their counters\n"
    "  -j, --json     the same status as one JSON object\n"
    "      --overhead BYTES  bytes that the link adds to each packet\n"
    "      --mpu BYTES       the least that a packet costs on the link\n"
    "      --atm             the link carries ATM cells, 53 bytes for 48\n"
    "      --reflector ADDR  with a rate MIN-MAX, an IPv4 host to ping for delay\n"
    "  -v, --verbose  with a rate MIN-MAX, tell each change of rate\n"
    "      --config FILE     with a rate MIN-MAX, the rates and reflectors that\n"
    "                        SIGHUP rereads, as INGRESS=, EGRESS= and OPTIONS=\n"
    "      --remove-on-exit  with a rate MIN-MAX, end with no limit, not MIN\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n";
/* clang-format on */

static const struct option long_options[] = {
    {"shape", no_argument, NULL, 's'},
    {"cake", no_argument, NULL, OPT_CAKE},
    {"status", no_argument, NULL, 'S'},
    {"json", no_argument, NULL, 'j'},
    {"overhead", required_argument, NULL, OPT_OVERHEAD},
    {"mpu", required_argument, NULL, OPT_MPU},
    {"atm", no_argument, NULL, OPT_ATM},
    {"reflector", required_argument, NULL, OPT_REFLECTOR},
    {"verbose", no_argument, NULL, 'v'},
    {"config", required_argument, NULL, OPT_CONFIG},
    {"remove-on-exit", no_argument, NULL, OPT_REMOVE},
    {"help", no_argument, NULL, 'h'},
    {"version", no_argument, NULL, 'V'},
    {NULL, 0, NULL, 0},
};

/*
 * Returns the index of the first word after the options. getopt's own
 * messages stay off: a wrong call gets the one usage line that scripts
 * match, and "+" stops at the interface, whose name may start with "-".
 */
int
parse_options(int argc, char *argv[], struct options *o)
{
	int c;

	o->how = &plain_mode;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "+shVjv", long_options, NULL)) !=
	       -1) {
		switch (c) {
		case 's':
			/* --cake stays, whichever of the two comes first. */
			if (o->how != &cake_mode)
				o->how = &shaped_mode;
			break;
		case OPT_CAKE:
			o->how = &cake_mode;
			break;
		case 'j':
			o->json = true;
			/* fall through */
		case 'S':
			o->status = true;
			break;
		case OPT_OVERHEAD:
			if (!parse_bytes_arg(optarg, OVERHEAD_MAX,
					     &o->framing.overhead))
				show_usage();
			o->framing_given = true;
			break;
		case OPT_MPU:
			if (!parse_bytes_arg(optarg, MPU_MAX, &o->framing.mpu))
				show_usage();
			o->framing_given = true;
			break;
		case OPT_ATM:
			o->framing.atm = true;
			o->framing_given = true;
			break;
		case OPT_REFLECTOR:
			if (o->reflectors_given == REFLECTORS_MAX ||
			    inet_pton(AF_INET, optarg,
				      &o->reflectors[o->reflectors_given]) != 1)
				show_usage();
			o->reflectors_given++;
			break;
		case 'v':
			o->verbose = true;
			break;
		case OPT_CONFIG:
			o->config = optarg;
			break;
		case OPT_REMOVE:
			o->remove_at_exit = true;
			break;
		case 'h':
			fputs(USAGE_TEXT, stdout);
			fputs(HELP, stdout);
			exit(0);
		case 'V':
			puts("pondrel " PONDREL_VERSION);
			exit(0);
		default:
			show_usage();
		}
	}
	/* cake keeps its overhead in 16 signed bits: more would wrap. */
	if (o->how == &cake_mode && o->framing.overhead > CAKE_OVERHEAD_MAX)
		show_usage();
	return optind;
}
