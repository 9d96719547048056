/*
 * cake, the --cake mode's queue: one qdisc that shapes, shares the link
 * between hosts and then between each host's flows, and keeps every
 * queue short. Built, recognised and printed here by one rule.
 */
#include <stdio.h>
#include <string.h>

#include <linux/rtnetlink.h>

#include "kinds.h"

/*
 * Where a limit usually sits, on a router's interface to the internet
 * behind NAT, each host inside gets an equal share: by the source address
 * of what leaves, by the destination of what arrives, both looked up
 * through NAT. A host with one address shares between its flows alone.
 */
#define LEAVING_ISOLATION CAKE_FLOW_DUAL_SRC
#define ARRIVING_ISOLATION CAKE_FLOW_DUAL_DST
/* cake's own defaults, sent so that a change puts them back. */
#define CAKE_TINS CAKE_DIFFSERV_DIFFSERV3
#define CAKE_RTT_US 100000
/*
 * cake splits each GSO packet, up to 64 KiB, into its frames, so that one
 * does not hold the other flows back for long at a low rate. Splitting
 * costs a packet's work per frame: in the user-mode kernel, whose one CPU
 * it used up, upload through cake at 100 Mbit/s went from 41 % of the rate
 * to 79 % unsplit, and a ping under load from 41 to 4 ms above idle at the
 * 99th percentile. So a GSO packet goes whole from the rate at which it
 * takes no longer than cake's 5 ms target, about 105 Mbit/s.
 */
#define WHOLE_GSO_FROM (65536 * 1000 / 5)

/* What pondrel sets, by the direction that it queues. */
struct cake_params {
	uint32_t flow_mode, diffserv, rtt_us, nat, ingress, split_gso;
	struct framing framing;
	bool raw; /* counts whole frames: no framing option came */
};
/* What cake decides by itself, and its figures summed over its tins. */
struct cake_figures {
	struct cake_params params;
	uint32_t delay_us, peak_delay_us; /* the slowest tin's */
	uint32_t drops, ecn_marks, backlog, qlen;
};

static const char *const ISOLATIONS[] = {
    "flowblind", "srchost",      "dsthost",      "hosts",
    "flows",     "dual-srchost", "dual-dsthost", "triple-isolate",
};
static const char *const TINS[] = {
    "diffserv3", "diffserv4", "diffserv8", "besteffort", "precedence",
};

static void
cake_rule(bool arriving, uint64_t rate, struct cake_params *p)
{
	memset(p, 0, sizeof(*p));
	p->flow_mode = arriving ? ARRIVING_ISOLATION : LEAVING_ISOLATION;
	p->diffserv = CAKE_TINS;
	p->rtt_us = CAKE_RTT_US;
	p->nat = 1;
	/* On the IFB a packet dropped has already crossed the link: cake
	 * then counts it as sent, so the rate holds for what arrives. */
	p->ingress = arriving;
	p->split_gso = rate < WHOLE_GSO_FROM;
	p->raw = true;
}

static void
put_u32(struct nl_msg *msg, int type, uint32_t value)
{
	nla_put(msg, type, sizeof(value), &value);
}

/*
 * New after the old root is gone, or, with change, in place of pondrel's
 * own cake: the kernel keeps that qdisc, its handle, counters and queue,
 * and takes the new settings between two packets. Every setting pondrel
 * makes is sent either way, so a change leaves what a new one would.
 * cake_mq takes the same options, as kind.
 */
static void
put_cake_options(struct nl_msg *msg, const struct link_terms &t,
		 const struct cake_params &p, uint64_t rate64)
{
	struct nlattr *options = open_nest(msg, TCA_OPTIONS);
	int32_t overhead;

	nla_put(msg, TCA_CAKE_BASE_RATE64, sizeof(rate64), &rate64);
	put_u32(msg, TCA_CAKE_DIFFSERV_MODE, p.diffserv);
	put_u32(msg, TCA_CAKE_FLOW_MODE, p.flow_mode);
	put_u32(msg, TCA_CAKE_NAT, p.nat);
	put_u32(msg, TCA_CAKE_INGRESS, p.ingress);
	put_u32(msg, TCA_CAKE_RTT, p.rtt_us);
	put_u32(msg, TCA_CAKE_SPLIT_GSO, p.split_gso);
	put_u32(msg, TCA_CAKE_ATM,
		t.framing.atm ? CAKE_ATM_ATM : CAKE_ATM_NONE);
	put_u32(msg, TCA_CAKE_MPU, t.framing.mpu);
	/*
	 * Without framing cake counts whole frames, as the tbf does. Given an
	 * overhead it counts from the network header, on both devices (UML:
	 * a ping of 1042 bytes on the wire counts 1028), so the link header
	 * goes into the overhead, as for the policer. raw alone keeps an
	 * overhead of before and still adds it: a zero goes first.
	 */
	overhead = t.given ? t.framing.overhead + (int32_t)t.header : 0;
	nla_put(msg, TCA_CAKE_OVERHEAD, sizeof(overhead), &overhead);
	/* Only its presence counts, but the kernel wants 32 bits. */
	if (!t.given)
		put_u32(msg, TCA_CAKE_RAW, 1);
	close_nest(msg, options);
}

nl_request
cake_request(const struct link_terms &t, const struct shaper &at,
	     const char *kind)
{
	uint64_t rate64 = to_u32_field(at.rate);
	struct cake_params p;
	nl_request req = new_tc_request(
	    at.ifindex, RTM_NEWQDISC, at.change ? 0 : NLM_F_CREATE | NLM_F_EXCL,
	    TC_H_ROOT, CAKE_HANDLE, 0);

	cake_rule(at.arriving, rate64, &p);
	if (req) {
		add_kind(req.get(), kind);
		put_cake_options(req.get(), t, p, rate64);
	}
	return req;
}

static built
build_cake(struct nl_session &nl, const struct link_terms &t,
	   const struct shaper &at)
{
	return send_and_wait(nl, cake_request(t, at, "cake"), false)
		   ? built::done
		   : built::refused;
}

static uint32_t
cake_u32(struct nlattr **tb, int type, uint32_t absent)
{
	uint32_t v = absent;

	copy_attr(tb[type], &v, sizeof(v));
	return v;
}

static void
raise_to(uint32_t *max, uint32_t v)
{
	if (v > *max)
		*max = v;
}

/*
 * The figures of each tin: the slowest tin's delays, the rest summed, and
 * so over each queue's cake below a cake_mq.
 */
static void
read_tins(struct nlattr *xstats, struct cake_figures *c)
{
	struct nlattr *tb[TCA_CAKE_STATS_MAX + 1];
	struct nlattr *tins[TC_CAKE_MAX_TINS + 1];
	struct nlattr *t[TCA_CAKE_TIN_STATS_MAX + 1];
	int i;

	if (xstats == NULL ||
	    nla_parse_nested(tb, TCA_CAKE_STATS_MAX, xstats, NULL) != 0 ||
	    tb[TCA_CAKE_STATS_TIN_STATS] == NULL ||
	    nla_parse_nested(tins, TC_CAKE_MAX_TINS,
			     tb[TCA_CAKE_STATS_TIN_STATS], NULL) != 0)
		return;
	for (i = 1; i <= TC_CAKE_MAX_TINS; i++) {
		if (tins[i] == NULL ||
		    nla_parse_nested(t, TCA_CAKE_TIN_STATS_MAX, tins[i],
				     NULL) != 0)
			continue;
		raise_to(&c->delay_us,
			 cake_u32(t, TCA_CAKE_TIN_STATS_AVG_DELAY_US, 0));
		raise_to(&c->peak_delay_us,
			 cake_u32(t, TCA_CAKE_TIN_STATS_PEAK_DELAY_US, 0));
		c->drops += cake_u32(t, TCA_CAKE_TIN_STATS_DROPPED_PACKETS, 0);
		c->ecn_marks +=
		    cake_u32(t, TCA_CAKE_TIN_STATS_ECN_MARKED_PACKETS, 0);
		c->backlog += cake_u32(t, TCA_CAKE_TIN_STATS_BACKLOG_BYTES, 0);
		c->qlen += cake_u32(t, TCA_CAKE_TIN_STATS_BACKLOG_PACKETS, 0);
	}
}

void
add_cake_tins(struct nlattr *xstats, struct limit_status *s)
{
	read_tins(xstats, figures_of<struct cake_figures>(s->own));
}

/*
 * pondrel's cake for its direction, at any rate: a program that drives
 * the rate (an autorate controller) leaves it pondrel's, and with it the
 * GSO splitting, which pondrel chose for another rate then. Anything else
 * set, by the settings cake reports, makes it someone else's. Settings
 * that this kernel's cake reports and pondrel never heard of are left to
 * the kernel, which fills in its defaults; so is the target, which it
 * works out from the rtt.
 */
void
decode_cake(const struct link_terms &t, struct nlattr *options,
	    struct nlattr *xstats, struct limit_status *s)
{
	struct nlattr *tb[TCA_CAKE_MAX + 1];
	struct cake_figures *f = figures_of<struct cake_figures>(s->own);
	struct cake_params want, *got = &f->params;
	uint64_t rate = 0;
	int32_t overhead = 0;
	uint32_t header = t.header, atm;

	memset(f, 0, sizeof(*f));
	read_tins(xstats, f);
	if (options == NULL ||
	    nla_parse_nested(tb, TCA_CAKE_MAX, options, NULL) != 0 ||
	    tb[TCA_CAKE_BASE_RATE64] == NULL)
		return;
	copy_attr(tb[TCA_CAKE_BASE_RATE64], &rate, sizeof(rate));
	s->rate = to_u32_field((double)rate);
	got->diffserv = cake_u32(tb, TCA_CAKE_DIFFSERV_MODE, ~0U);
	got->flow_mode = cake_u32(tb, TCA_CAKE_FLOW_MODE, ~0U);
	got->nat = cake_u32(tb, TCA_CAKE_NAT, 0);
	got->ingress = cake_u32(tb, TCA_CAKE_INGRESS, 0);
	got->rtt_us = cake_u32(tb, TCA_CAKE_RTT, 0);
	got->raw = tb[TCA_CAKE_RAW] != NULL;
	atm = cake_u32(tb, TCA_CAKE_ATM, CAKE_ATM_NONE);
	copy_attr(tb[TCA_CAKE_OVERHEAD], &overhead, sizeof(overhead));
	got->framing.mpu = (uint16_t)cake_u32(tb, TCA_CAKE_MPU, 0);
	got->framing.atm = atm == CAKE_ATM_ATM;
	if (!got->raw && overhead >= (int32_t)header)
		got->framing.overhead = (uint16_t)(overhead - (int32_t)header);
	s->framing = got->framing;
	cake_rule(s->arriving, rate, &want);
	/* cake takes a rate of 0 for none at all: no limit of pondrel's. */
	if (rate == 0 || got->diffserv != want.diffserv ||
	    got->flow_mode != want.flow_mode || got->nat != want.nat ||
	    got->ingress != want.ingress || got->rtt_us != want.rtt_us ||
	    atm > CAKE_ATM_ATM || cake_u32(tb, TCA_CAKE_MPU, 0) > 0xffff ||
	    cake_u32(tb, TCA_CAKE_WASH, 0) != 0 ||
	    cake_u32(tb, TCA_CAKE_ACK_FILTER, 0) != 0 ||
	    cake_u32(tb, TCA_CAKE_AUTORATE, 0) != 0 ||
	    cake_u32(tb, TCA_CAKE_FWMARK, 0) != 0 ||
	    cake_u32(tb, TCA_CAKE_MEMORY, 0) != 0)
		return;
	/* Unframed, pondrel sends raw and nothing else of the framing. */
	if (got->raw
		? overhead != 0 || got->framing.mpu != 0 || got->framing.atm
		: overhead < (int32_t)header ||
		      overhead - (int32_t)header > 0xffff)
		return;
	s->state = LIMIT_OWN;
}

void
print_cake(const struct limit_status *s, bool json)
{
	const struct cake_params *p =
	    &figures_of<struct cake_figures>(s->own)->params;

	if (json) {
		print_framing(&s->framing, true);
		print_ifb(s, true);
		printf(",\"isolation\":\"%s\",\"nat\":%s,\"diffserv\":\"%s\","
		       "\"rtt_ms\":%.10g",
		       ISOLATIONS[p->flow_mode], p->nat ? "true" : "false",
		       TINS[p->diffserv], p->rtt_us / 1000.0);
		return;
	}
	print_ifb(s, false);
	printf(", %s%s, %s, rtt %.10g ms", ISOLATIONS[p->flow_mode],
	       p->nat ? " nat" : "", TINS[p->diffserv], p->rtt_us / 1000.0);
	print_framing(&s->framing, false);
	putchar('\n');
}

void
print_cake_figures(const struct limit_status *s, bool json)
{
	const struct cake_figures *c = figures_of<struct cake_figures>(s->own);

	printf(json ? ",\"cake\":{\"delay_ms\":%.10g,\"peak_delay_ms\":%.10g,"
		      "\"drops\":%u,\"ecn_marks\":%u,\"backlog_bytes\":%u,"
		      "\"backlog_packets\":%u}"
		    : "  cake: delay %.10g ms, peak %.10g ms, dropped %u, ECN "
		      "marked %u, backlog %u bytes %u packets\n",
	       c->delay_us / 1000.0, c->peak_delay_us / 1000.0, c->drops,
	       c->ecn_marks, c->backlog, c->qlen);
}

const struct kind cake_kind = {
    "cake",      "cake",     false,      true,
    build_cake,  decode_cake, NULL,      print_cake,
    print_cake_figures,
};
