/*
 * The plain mode's ingress limit: a policer on the catch-all filter drops
 * what arrives beyond the rate, from a bucket of INGRESS_BURST bytes.
 */
#include <stdio.h>
#include <string.h>

#include <linux/pkt_cls.h>

#include "kinds.h"

/*
 * The bucket holds INGRESS_BURST bytes as the link counts them, its
 * framing and the header put back, as the tbf's does in the kernel's own
 * reckoning: a minimum unit or an overhead beyond the bare bucket would
 * otherwise make every packet cost more than the bucket can ever hold.
 * Without framing that is INGRESS_BURST itself.
 */
static uint32_t
police_bucket(const struct tc_ratespec *r, const struct framing *f)
{
	return (uint32_t)link_bytes(INGRESS_BURST + r->overhead, f);
}

static built
build_police(struct nl_session &nl, const struct link_terms &t,
	     const struct shaper &at)
{
	nl_request req = new_catch_all_filter(at.ifindex);
	struct nl_msg *msg = req.get();
	struct nlattr *options, *police_nest;
	struct tc_police police;
	rate_table table;

	memset(&police, 0, sizeof(police));
	police.action = TC_POLICE_SHOT;
	police.rate.rate = to_u32_field(at.rate);
	/* Without a framing option the record stays as it always was. */
	fill_rate_table(t, &police.rate, table, t.given ? t.header : 0);
	police.burst = to_u32_field(xmit_ticks(
	    t, police_bucket(&police.rate, &t.framing), police.rate.rate));

	if (msg != NULL) {
		options = open_nest(msg, TCA_OPTIONS);
		police_nest = open_nest(msg, TCA_BASIC_POLICE);
		nla_put(msg, TCA_POLICE_TBF, sizeof(police), &police);
		nla_put(msg, TCA_POLICE_RATE, sizeof(table), table);
		close_nest(msg, police_nest);
		close_nest(msg, options);
	}
	return send_and_wait(nl, handed(req), false) ? built::done
							 : built::refused;
}

/*
 * The policer build_police makes, and no other; before framing grew
 * its bucket, a framed one held the bare INGRESS_BURST, and that one is
 * still pondrel's. The kernel keeps no rate record for a zero rate, which
 * holds nothing back, and so no framing either.
 */
void
decode_police(const struct link_terms &t, struct nlattr *nest,
	      struct limit_status *s)
{
	struct nlattr *tb[TCA_POLICE_MAX + 1];
	struct tc_police p;
	uint32_t mtu, bucket;
	bool framed;

	snprintf(s->kind, sizeof(s->kind), "basic police");
	if (nla_parse_nested(tb, TCA_POLICE_MAX, nest, NULL) != 0 ||
	    tb[TCA_POLICE_TBF] == NULL)
		return;
	copy_attr(tb[TCA_POLICE_TBF], &p, sizeof(p));
	s->policed = true;
	s->rate = p.rate.rate;
	/* The kernel fills in the largest size its rate table covers. */
	mtu = p.rate.rate != 0 ? 255U << RATE_CELL_LOG : ~0U;
	framed = p.rate.rate != 0
		     ? read_framing(&p.rate, t.header, &s->framing)
		     : p.rate.linklayer == TC_LINKLAYER_UNAWARE &&
			   p.rate.overhead == 0 && p.rate.mpu == 0;
	bucket = police_bucket(&p.rate, &s->framing);
	/* What the bucket really holds: at a few bit/s its ticks wrap, and
	 * at a zero rate it holds nothing. */
	s->bucket = (uint32_t)((double)p.burst * p.rate.rate /
				   t.ticks_per_second +
			       0.5);
	if (p.action == TC_POLICE_SHOT && p.peakrate.rate == 0 &&
	    p.mtu == mtu && framed &&
	    (near_bucket(t, p.burst, p.rate.rate, bucket) ||
	     near_bucket(t, p.burst, p.rate.rate, INGRESS_BURST)) &&
	    only(tb, TCA_POLICE_MAX,
		 BIT(TCA_POLICE_TBF) | BIT(TCA_POLICE_TM) |
		     BIT(TCA_POLICE_PAD)))
		s->state = LIMIT_OWN;
	s->how = &police_kind;
}

static void
print_police(const struct limit_status *s, bool json)
{
	printf(json ? ",\"bucket_bytes\":%u" : ", bucket %u bytes", s->bucket);
	print_framing(&s->framing, json);
	if (!json)
		putchar('\n');
}

/* Found through the catch-all filter, not by a qdisc's name. */
const struct kind police_kind = {
    "police", "policed", false, false, build_police, NULL, NULL,
    print_police, NULL,
};
