/*
 * The kinds that pondrel makes, by the kernel's name for each, as tc finds
 * its own: a new kind is one file and one row here.
 */
#include <string.h>

#include "kinds.h"

static const struct kind *const kinds[] = {
    &tbf_kind,
    &fq_codel_kind,
    &cake_kind,
    &cake_mq_kind,
    &cake_queue_kind,
};

const struct kind *
find_kind(const char *name, bool child)
{
	for (const struct kind *k : kinds)
		if (k->child == child && strcmp(k->name, name) == 0)
			return k;
	return NULL;
}
