/*
 * The token-bucket filter, as both modes build it and as --status knows
 * it: each rule below is used by the builder and the recogniser alike.
 */
#include <stdio.h>
#include <string.h>

#include <linux/rtnetlink.h>

#include "kinds.h"

/* The shaped mode's bucket holds what the rate sends in this time. */
#define SHAPED_BUCKET_MS 4

/* Behind the bucket, a queue of 50 ms of the rate. */
#define TBF_QUEUE_SECONDS 0.05

/*
 * A fixed 2048-byte bucket empties in well under a millisecond at tens of
 * Mbit/s, and TCP then stalls below the rate; the shaped mode sizes the
 * bucket by the rate, never below the plain one.
 */
uint32_t
tbf_burst(uint32_t rate, bool shaped)
{
	uint32_t scaled = (uint32_t)((uint64_t)rate * SHAPED_BUCKET_MS / 1000);

	if (!shaped || scaled < EGRESS_BURST)
		return EGRESS_BURST;
	return scaled;
}

/* In bytes, from the unrounded rate: the kernel's byte queue behind it. */
static double
tbf_limit(double rate, uint32_t burst)
{
	return rate * TBF_QUEUE_SECONDS + burst;
}

/*
 * The shaped modes' tbf takes a handle, for the fair queue in its class,
 * and a bucket sized by the rate; the plain mode's has neither.
 */
static built
build_tbf(struct nl_session &nl, const struct link_terms &t,
	  const struct shaper &at)
{
	uint32_t burst = tbf_burst(to_u32_field(at.rate), at.shaped);
	nl_request req = new_tc_request(at.ifindex, RTM_NEWQDISC,
					NLM_F_CREATE | NLM_F_EXCL, TC_H_ROOT,
					at.shaped ? TBF_HANDLE : 0, 0);
	struct nl_msg *msg = req.get();
	struct nlattr *options;
	struct tc_tbf_qopt qopt;
	rate_table table;

	memset(&qopt, 0, sizeof(qopt));
	qopt.rate.rate = to_u32_field(at.rate);
	qopt.limit = to_u32_field(tbf_limit(at.rate, burst));
	qopt.buffer = to_u32_field(xmit_ticks(t, burst, qopt.rate.rate));
	/* Both tbfs count whole frames, link header and all. */
	fill_rate_table(t, &qopt.rate, table, 0);

	if (msg != NULL) {
		add_kind(msg, "tbf");
		options = open_nest(msg, TCA_OPTIONS);
		nla_put(msg, TCA_TBF_PARMS, sizeof(qopt), &qopt);
		nla_put(msg, TCA_TBF_BURST, sizeof(burst), &burst);
		nla_put(msg, TCA_TBF_RTAB, sizeof(table), table);
		close_nest(msg, options);
	}
	return send_and_wait(nl, handed(req), false) ? built::done
							 : built::refused;
}

/*
 * A tbf is pondrel's when its bucket is one that either mode sizes for its
 * rate and its queue is the one behind that bucket; the bucket within what
 * one tick carries, as the kernel keeps it in time. The kernel times the
 * bucket as the cost of a packet of its size, so with framing it holds
 * that packet's bytes on the link.
 */
static void
decode_tbf(const struct link_terms &t, struct nlattr *options,
	   struct nlattr *xstats, struct limit_status *s)
{
	struct nlattr *tb[TCA_TBF_MAX + 1];
	struct tc_tbf_qopt q;
	uint32_t rule;
	int shaped;
	(void)xstats;

	if (options == NULL ||
	    nla_parse_nested(tb, TCA_TBF_MAX, options, NULL) != 0 ||
	    tb[TCA_TBF_PARMS] == NULL)
		return;
	copy_attr(tb[TCA_TBF_PARMS], &q, sizeof(q));
	s->rate = q.rate.rate;
	s->queue = q.limit;
	/* In whole microseconds, worked out in the order iproute2 does. */
	if (q.rate.rate != 0)
		s->queue_ms =
		    (double)(int64_t)(1e6 * ((double)q.limit / q.rate.rate) -
				      to_u32_field(q.buffer /
						   (t.ticks_per_second / 1e6))) /
		    1000;
	if (q.peakrate.rate != 0 || q.mtu != 0 ||
	    !read_framing(&q.rate, 0, &s->framing) ||
	    !only(tb, TCA_TBF_MAX,
		  BIT(TCA_TBF_PARMS) | BIT(TCA_TBF_BURST) | BIT(TCA_TBF_PAD)))
		return;
	for (shaped = 0; shaped < 2; shaped++) {
		rule = tbf_burst(q.rate.rate, shaped);
		if (near_bucket(t, q.buffer, q.rate.rate,
				(uint32_t)link_bytes(rule + s->framing.overhead,
						     &s->framing)) &&
		    distance(q.limit, tbf_limit(q.rate.rate, rule)) <= 1) {
			/* The kernel holds no bucket at a zero rate. */
			s->bucket = q.rate.rate != 0 ? rule : 0;
			s->state = LIMIT_OWN;
			return;
		}
	}
}

/* The fair queue in the tbf's class takes the place of its byte queue. */
static bool
fair_queued(const struct limit_status *s)
{
	return s->child.seen == 1;
}

/*
 * A tbf of pondrel's stays so with no child (a kernel without fq_codel
 * keeps the tbf alone) or with the fair queue pondrel makes for its rate.
 */
static bool
claim_tbf_child(struct limit_status *s)
{
	return s->child.seen == 0 ||
	       (s->child.seen == 1 && fq_codel_kind.claim(s));
}

static void
print_tbf(const struct limit_status *s, bool json)
{
	if (json) {
		printf(",\"bucket_bytes\":%u", s->bucket);
		print_framing(&s->framing, true);
		print_ifb(s, true);
		printf(",\"queue_bytes\":%u,\"queue_ms\":%.10g", s->queue,
		       s->queue_ms);
		return;
	}
	print_ifb(s, false);
	printf(", bucket %u bytes", s->bucket);
	print_framing(&s->framing, false);
	if (fair_queued(s))
		fq_codel_kind.print(s, false);
	else
		printf(", queue %u bytes %.10g ms\n", s->queue, s->queue_ms);
}

static void
print_tbf_figures(const struct limit_status *s, bool json)
{
	if (fair_queued(s))
		fq_codel_kind.print_figures(s, json);
}

const struct kind tbf_kind = {
    "tbf",           "shaped",  false,     false,
    build_tbf,       decode_tbf, claim_tbf_child, print_tbf,
    print_tbf_figures,
};
