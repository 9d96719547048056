/*
 * Egress: the mode's root qdisc, and what it takes below it, shapes what
 * leaves; the same root shapes what arrives on the IFB.
 */
#include <linux/rtnetlink.h>

#include "run.h"

/*
 * The first of the mode's roots that suits the device, and its child. A
 * kernel without the child's kind refuses it, reported; the root stays,
 * so the limit still holds. False only when the root was refused.
 */
bool
shape_root(struct run &r, int ifindex, double rate, bool arriving,
	   unsigned queues)
{
	const struct shaper at = {ifindex, rate, arriving, r.how->ifb, false,
				  queues};

	for (const struct kind *k : r.how->roots) {
		if (k == NULL)
			break;
		switch (k->build(r.nl, r.terms, at)) {
		case built::unsuited:
			continue;
		case built::refused:
			return false;
		case built::done:
			break;
		}
		if (r.how->child != NULL)
			r.how->child->build(r.nl, r.terms, at);
		return true;
	}
	return false;
}

/*
 * pondrel's own root of this mode, found in force, that its kind changes
 * in place: never a moment unlimited.
 */
bool
changes_in_place(const struct run &r, const struct limit_status &s)
{
	if (s.state != LIMIT_OWN || !s.how->changes)
		return false;
	for (const struct kind *k : r.how->roots)
		if (k == s.how)
			return true;
	return false;
}

bool
change_root(struct run &r, int ifindex, double rate, bool arriving,
	    const struct limit_status &s)
{
	const struct shaper at = {ifindex, rate, arriving, r.how->ifb, true,
				  0};

	return s.how->build(r.nl, r.terms, at) == built::done;
}

void
configure_egress(struct run &r, double rate, const struct status_view &now)
{
	if (!(rate < 0) && changes_in_place(r, now.egress)) {
		change_root(r, r.ifindex, rate, false, now.egress);
		return;
	}
	if (!remove_qdisc(r.nl, r.ifindex, TC_H_ROOT, 0))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;
	shape_root(r, r.ifindex, rate, false, r.tx_queues);
}
