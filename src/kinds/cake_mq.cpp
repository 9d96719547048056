/*
 * cake_mq, the --cake mode's queue on a device of several transmit
 * queues: one cake on each, sharing one configuration and the rate, so
 * that the work spreads over the cores. Built with cake's options,
 * recognised and printed by cake's rules, with its cakes below it.
 */
#include <stdio.h>
#include <string.h>

#include <linux/rtnetlink.h>

#include "kinds.h"

/*
 * A device of one queue has nothing to spread, and a kernel before 7.0
 * knows no such kind: either way cake serves, with nothing said.
 */
static built
build_cake_mq(struct nl_session &nl, const struct link_terms &t,
	      const struct shaper &at)
{
	if (at.change)
		return send_and_wait(nl, cake_request(t, at, "cake_mq"), false)
			   ? built::done
			   : built::refused;
	if (at.tx_queues < 2)
		return built::unsuited;
	if (send_quietly(nl, cake_request(t, at, "cake_mq")) != 0)
		return nl.fatal.what != NULL ? built::refused
					     : built::unsuited;
	return built::done;
}

/* Each queue's cake, which the kernel makes and names, and nothing else. */
static bool
claim_queues(struct limit_status *s)
{
	const struct child_status *c = &s->child;

	return c->seen == 0 ||
	       (c->strays == 0 && strcmp(c->kind, "cake") == 0 &&
		TC_H_MAJ(c->parent) == s->handle);
}

/*
 * The kernel's own cake on each queue holds the figures, the cake_mq none:
 * each adds its own.
 */
static void
decode_queue(const struct link_terms &t, struct nlattr *options,
	     struct nlattr *xstats, struct limit_status *s)
{
	(void)t;
	(void)options;
	add_cake_tins(xstats, s);
}

static void
print_cake_mq(const struct limit_status *s, bool json)
{
	printf(json ? ",\"queues\":%d" : " on %d queues", s->child.seen);
	print_cake(s, json);
}

const struct kind cake_mq_kind = {
    "cake_mq",     "cake",       false,        true,
    build_cake_mq, decode_cake,  claim_queues, print_cake_mq,
    print_cake_figures,
};

/* Below a cake_mq only: the kernel makes these, pondrel never does. */
const struct kind cake_queue_kind = {
    "cake", "cake", true, false, NULL, decode_queue, NULL, NULL, NULL,
};
