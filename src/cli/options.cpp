/* Options: what comes before the interface when the call is not three words. */
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "cli.h"

bool shaped_mode;

static const char HELP[] =
    "  -s, --shape    shape ingress through an IFB, buckets of 1 ms of the rate\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n";

static const struct option long_options[] = {
    {"shape", no_argument, NULL, 's'},
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
parse_options(int argc, char *argv[])
{
	int c;

	opterr = 0;
	while ((c = getopt_long(argc, argv, "+shV", long_options, NULL)) != -1) {
		switch (c) {
		case 's':
			shaped_mode = true;
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
	return optind;
}
