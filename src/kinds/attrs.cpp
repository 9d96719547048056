/*
 * What the recognisers of every kind share: copying attributes out of a
 * dump, its counters, and the tolerances of values the kernel rounds.
 */
#include <stdio.h>
#include <string.h>

#include <linux/gen_stats.h>
#include <linux/rtnetlink.h>

#include "kinds.h"

/* An attribute copied into a struct; what it lacks reads as zero. */
void
copy_attr(struct nlattr *attr, void *to, int size)
{
	memset(to, 0, size);
	if (attr != NULL)
		memcpy(to, nla_data(attr),
		       nla_len(attr) < size ? nla_len(attr) : size);
}

void
copy_kind(char *kind, int size, struct nlattr *attr, const char *prefix)
{
	char name[16];

	copy_attr(attr, name, sizeof(name) - 1);
	name[sizeof(name) - 1] = '\0';
	snprintf(kind, size, "%s%s", prefix, name);
}

/* True when no attribute is present outside the allowed set. */
bool
only(struct nlattr **tb, int max, unsigned int allowed)
{
	int i;

	for (i = 1; i <= max; i++)
		if (tb[i] != NULL && !(allowed & BIT(i)))
			return false;
	return true;
}

/*
 * Counters from the statistics nest, 64-bit bytes and packets where the
 * kernel gives them, else from the fixed struct older dumps carry.
 */
void
read_counters(struct nlattr *stats2, struct nlattr *old, struct counters *c)
{
	struct nlattr *tb[TCA_STATS_MAX + 1];
	struct gnet_stats_basic basic;
	struct gnet_stats_queue queue;
	struct tc_stats compat;

	if (stats2 != NULL &&
	    nla_parse_nested(tb, TCA_STATS_MAX, stats2, NULL) == 0 &&
	    tb[TCA_STATS_BASIC] != NULL) {
		copy_attr(tb[TCA_STATS_BASIC], &basic, sizeof(basic));
		copy_attr(tb[TCA_STATS_QUEUE], &queue, sizeof(queue));
		c->bytes = basic.bytes;
		c->packets = basic.packets;
		if (tb[TCA_STATS_PKT64] != NULL)
			copy_attr(tb[TCA_STATS_PKT64], &c->packets,
				  sizeof(c->packets));
		c->drops = queue.drops;
		c->overlimits = queue.overlimits;
		c->backlog = queue.backlog;
		c->qlen = queue.qlen;
	} else if (old != NULL) {
		copy_attr(old, &compat, sizeof(compat));
		c->bytes = compat.bytes;
		c->packets = compat.packets;
		c->drops = compat.drops;
		c->overlimits = compat.overlimits;
		c->backlog = compat.backlog;
		c->qlen = compat.qlen;
	} else {
		return;
	}
	c->counted = true;
}

/*
 * The framing of a rate record as it was given: the record's overhead less
 * the header that fill_rate_table added for its place. A record without
 * any framing has none to take off; one whose overhead is below that
 * header, or whose link layer is neither, pondrel never sent.
 */
bool
read_framing(const struct tc_ratespec *r, uint32_t uncounted, struct framing *f)
{
	f->overhead = r->overhead;
	f->mpu = r->mpu;
	f->atm = r->linklayer == TC_LINKLAYER_ATM;
	if (r->linklayer != TC_LINKLAYER_ETHERNET && !f->atm)
		return false;
	if (f->overhead == 0 && f->mpu == 0 && !f->atm)
		return true;
	if (f->overhead < uncounted)
		return false;
	f->overhead = (uint16_t)(f->overhead - uncounted);
	return true;
}

/* The C library's fabs would bring in libm for this one use. */
double
distance(double a, double b)
{
	return a > b ? a - b : b - a;
}

/*
 * A bucket of so many ticks at the rate is the one of the given bytes,
 * within a byte or what one tick carries: the kernel keeps buckets in
 * time. At a few bit/s the ticks pass 2^32 and wrap, in what pondrel sends
 * and in what the kernel gives back alike, so the wrapped count is the
 * one to meet.
 */
bool
near_bucket(const struct link_terms &t, uint32_t ticks, uint32_t rate,
	    uint32_t bytes)
{
	if (rate == 0)
		return true;
	return distance(ticks, to_u32_field(xmit_ticks(t, bytes, rate))) <=
	       t.ticks_per_second / rate + 1;
}
