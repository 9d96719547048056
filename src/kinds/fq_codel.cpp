/*
 * The fair queue under the shaped mode's tbfs: fq_codel keeps each flow's
 * queue short, so a bulk transfer no longer delays every other packet by
 * the whole of the tbf's queue. Built and recognised here by one rule.
 */
#include <stdio.h>
#include <string.h>

#include <linux/rtnetlink.h>

#include "kinds.h"

/* A full-size Ethernet frame: the packet CoDel must let through whole. */
#define FULL_FRAME 1514
/*
 * The target and interval, in microseconds: twice CoDel's own. A lone TCP
 * flow of a long round trip loses its rate under 5 and 100 ms, as each drop
 * cuts a window that so short a queue barely pads (ingress at 50 ms: 88 % of 10
 * and 80 % of 50 Mbit/s, against 96 and 95 % with these). Other flows do
 * not wait behind that queue: the fair queue serves them first.
 */
#define CODEL_TARGET_US 10000
#define CODEL_INTERVAL_US 200000
/*
 * The kernel's default memory limit is 32 MiB per queue, which two queues
 * on a router of 64 MiB cannot afford: a quarter second of the rate, kept
 * between these bounds, and a packet for each KiB of it.
 */
#define MEMORY_FLOOR (128U << 10)
#define MEMORY_CEILING (4U << 20)
#define BYTES_PER_PACKET 1024

/* What pondrel sets, and what the kernel counts of its own. */
struct fair_queue_params {
	uint32_t target_us, interval_us, limit, memory_limit, ecn;
};
struct fair_queue_figures {
	struct fair_queue_params params;
	uint32_t ecn_marks, new_flows, memory_used;
};

/*
 * CoDel drops once a packet has waited longer than the target; at a slow
 * rate a single full frame takes longer than that to send, so the target
 * is never below that time, and the interval grows by as much.
 */
static void
fair_queue_rule(uint32_t rate, struct fair_queue_params *p)
{
	uint64_t frame_us = CODEL_TARGET_US, memory = rate / 4;

	if (rate != 0)
		frame_us = ((uint64_t)FULL_FRAME * 1000000 + rate - 1) / rate;
	if (frame_us < CODEL_TARGET_US)
		frame_us = CODEL_TARGET_US;
	if (memory < MEMORY_FLOOR)
		memory = MEMORY_FLOOR;
	if (memory > MEMORY_CEILING)
		memory = MEMORY_CEILING;
	p->target_us = (uint32_t)frame_us;
	p->interval_us =
	    (uint32_t)(CODEL_INTERVAL_US + frame_us - CODEL_TARGET_US);
	p->memory_limit = (uint32_t)memory;
	p->limit = (uint32_t)memory / BYTES_PER_PACKET;
	p->ecn = 1;
}

/* In the tbf's one class, in place of the byte FIFO the tbf made itself. */
static built
build_fair_queue(struct nl_session &nl, const struct link_terms &t,
		 const struct shaper &at)
{
	struct fair_queue_params p;
	nl_request req = new_tc_request(at.ifindex, RTM_NEWQDISC,
					NLM_F_CREATE | NLM_F_EXCL,
					FAIR_QUEUE_PARENT, FAIR_QUEUE_HANDLE, 0);
	struct nl_msg *msg = req.get();
	struct nlattr *options;
	(void)t;

	fair_queue_rule(to_u32_field(at.rate), &p);
	if (msg != NULL) {
		add_kind(msg, "fq_codel");
		options = open_nest(msg, TCA_OPTIONS);
		nla_put(msg, TCA_FQ_CODEL_TARGET, sizeof(p.target_us),
			&p.target_us);
		nla_put(msg, TCA_FQ_CODEL_LIMIT, sizeof(p.limit), &p.limit);
		nla_put(msg, TCA_FQ_CODEL_INTERVAL, sizeof(p.interval_us),
			&p.interval_us);
		nla_put(msg, TCA_FQ_CODEL_ECN, sizeof(p.ecn), &p.ecn);
		nla_put(msg, TCA_FQ_CODEL_MEMORY_LIMIT, sizeof(p.memory_limit),
			&p.memory_limit);
		close_nest(msg, options);
	}
	return send_and_wait(nl, handed(req), false) ? built::done
							 : built::refused;
}

/*
 * What the kernel reports of a fq_codel: the parameters pondrel sets, and
 * a threshold for marking that pondrel never sets; the rest (flows,
 * quantum, batch) stay the kernel's defaults and are not judged.
 */
static void
decode_fair_queue(const struct link_terms &t, struct nlattr *options,
		  struct nlattr *xstats, struct limit_status *s)
{
	struct child_status *c = &s->child;
	struct fair_queue_figures *f =
	    figures_of<struct fair_queue_figures>(c->own);
	struct nlattr *tb[TCA_FQ_CODEL_MAX + 1];
	struct tc_fq_codel_xstats x;
	(void)t;

	c->decoded = false;
	memset(f, 0, sizeof(*f));
	copy_attr(xstats, &x, sizeof(x));
	if (x.type == TCA_FQ_CODEL_XSTATS_QDISC) {
		f->ecn_marks = x.qdisc_stats.ecn_mark;
		f->new_flows = x.qdisc_stats.new_flow_count;
		f->memory_used = x.qdisc_stats.memory_usage;
	}
	if (options == NULL ||
	    nla_parse_nested(tb, TCA_FQ_CODEL_MAX, options, NULL) != 0 ||
	    tb[TCA_FQ_CODEL_CE_THRESHOLD] != NULL)
		return;
	copy_attr(tb[TCA_FQ_CODEL_TARGET], &f->params.target_us,
		  sizeof(f->params.target_us));
	copy_attr(tb[TCA_FQ_CODEL_INTERVAL], &f->params.interval_us,
		  sizeof(f->params.interval_us));
	copy_attr(tb[TCA_FQ_CODEL_LIMIT], &f->params.limit,
		  sizeof(f->params.limit));
	copy_attr(tb[TCA_FQ_CODEL_MEMORY_LIMIT], &f->params.memory_limit,
		  sizeof(f->params.memory_limit));
	copy_attr(tb[TCA_FQ_CODEL_ECN], &f->params.ecn, sizeof(f->params.ecn));
	c->decoded = true;
}

/*
 * Read back whole and equal to what pondrel sends for the tbf's rate. The
 * kernel keeps times in units of 1.024 us, truncated on the way in and on
 * the way out, so they come back up to 2 us short (12886 us as 12884); a
 * queue found to be pondrel's then shows the times it was sent.
 */
static bool
claim_fair_queue(struct limit_status *s)
{
	struct child_status *c = &s->child;
	struct fair_queue_params *got =
	    &figures_of<struct fair_queue_figures>(c->own)->params;
	struct fair_queue_params want;

	fair_queue_rule(s->rate, &want);
	if (!c->decoded || strcmp(c->kind, "fq_codel") != 0 ||
	    c->parent != FAIR_QUEUE_PARENT ||
	    distance(got->target_us, want.target_us) > 2 ||
	    distance(got->interval_us, want.interval_us) > 2 ||
	    got->limit != want.limit ||
	    got->memory_limit != want.memory_limit || got->ecn != want.ecn)
		return false;
	*got = want;
	return true;
}

/* In the line of its tbf, in place of the tbf's own queue. */
static void
print_fair_queue(const struct limit_status *s, bool json)
{
	const struct fair_queue_params *p =
	    &figures_of<struct fair_queue_figures>(s->child.own)->params;

	if (json)
		return;
	printf(", fair queue fq_codel target %.10g ms interval %.10g ms, limit "
	       "%u packets %u bytes%s\n",
	       p->target_us / 1000.0, p->interval_us / 1000.0, p->limit,
	       p->memory_limit, p->ecn ? ", ECN" : "");
}

static void
print_fair_queue_figures(const struct limit_status *s, bool json)
{
	const struct child_status *c = &s->child;
	const struct fair_queue_figures *f =
	    figures_of<struct fair_queue_figures>(c->own);

	if (!json) {
		printf("  fair queue: dropped %u, ECN marked %u, new flows %u, "
		       "backlog %u bytes %u packets, memory used %u bytes\n",
		       c->count.drops, f->ecn_marks, f->new_flows,
		       c->count.backlog, c->count.qlen, f->memory_used);
		return;
	}
	printf(",\"fair_queue\":{\"kind\":\"fq_codel\",\"target_ms\":%.10g,"
	       "\"interval_ms\":%.10g,\"limit_packets\":%u,"
	       "\"memory_limit_bytes\":%u,\"ecn\":%s",
	       f->params.target_us / 1000.0, f->params.interval_us / 1000.0,
	       f->params.limit, f->params.memory_limit,
	       f->params.ecn ? "true" : "false");
	print_counters(&c->count, true);
	printf(",\"ecn_marks\":%u,\"new_flows\":%u,\"memory_used_bytes\":%u}",
	       f->ecn_marks, f->new_flows, f->memory_used);
}

const struct kind fq_codel_kind = {
    "fq_codel",       "fair queue",      true,
    false,            build_fair_queue,  decode_fair_queue,
    claim_fair_queue, print_fair_queue,  print_fair_queue_figures,
};
