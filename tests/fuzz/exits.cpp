#include "tests/fuzz/exits.h"

#include <setjmp.h>

#include "src/cli/cli.h"

static jmp_buf escape;

void
show_usage(void)
{
	longjmp(escape, EXIT_USAGE);
}

void
fatal_rate_too_high(void)
{
	longjmp(escape, EXIT_RATE_TOO_HIGH);
}

void
fatal_errno(const char *what)
{
	(void)what;
	longjmp(escape, EXIT_ERRNO);
}

// Only the real exchange reports without exiting, and it is not linked.
void
report_error(const char *what, int err)
{
	(void)what;
	(void)err;
}

fatal_path
run_catching_exits(void (*body)(void *), void *arg)
{
	int path = setjmp(escape);
	if (path != 0)
		return static_cast<fatal_path>(path);
	body(arg);
	return NO_EXIT;
}

struct rate_call {
	const char *text;
	double *rate;
};

fatal_path
parse_rate_caught(const char *text, double *rate)
{
	rate_call call = {text, rate};
	return run_catching_exits(
	    [](void *arg) {
		    rate_call *c = static_cast<rate_call *>(arg);
		    *c->rate = parse_rate_arg(c->text);
	    },
	    &call);
}
