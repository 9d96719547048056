/* Every fatal path ends here, so the words and the exit status stay fixed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

void
show_usage(void)
{
	fputs(USAGE_TEXT, stderr);
	exit(1);
}

void
report_error(const char *what, int err)
{
	if (err != 0)
		fprintf(stderr, "varnic: %s: %s: %s\n", "error", what,
			strerror(err));
	else
		fprintf(stderr, "varnic: %s: %s\n", "error", what);
}

void
fatal(const struct failure &f)
{
	report_error(f.what, f.err);
	exit(1);
}

void
fatal_rate_too_high(void)
{
	/* Scripts match this text as it has always been, typo and all. */
	report_error("error: maximum allowed rate it about 2^25 Kbit/s\n", 0);
	exit(1);
}
