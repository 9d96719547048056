/*
 * The plain mode's ingress limit: a policer on the catch-all filter drops
 * what arrives beyond the rate, from a bucket of INGRESS_BURST bytes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <net/if_arp.h>

#include <linux/if_ether.h>
#include <linux/pkt_cls.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/*
 * The link header that the policer does not count and both tbfs do. On an
 * Ethernet interface the kernel takes the 14-byte header off an arriving
 * frame before the ingress filters see it, while the root tbf counts
 * leaving frames whole and the IFB's tbf counts what the redirect hands
 * it, header put back. A PPP or raw IP device has no header anywhere. The
 * device's type is read only where sysfs shows this network namespace's
 * device of that name; where it cannot be told, the header is counted, as
 * a packet taken for larger than it is only tightens the limit.
 */
uint32_t
uncounted_header(void)
{
	char type[16];

	if (target_name != NULL &&
	    sysfs_index(target_name) == (unsigned int)target_ifindex &&
	    read_attr(target_name, "type", type, sizeof(type)) &&
	    strtol(type, NULL, 10) != ARPHRD_ETHER)
		return 0;
	return ETH_HLEN;
}

void
add_police_filter(double rate)
{
	struct nl_msg *msg = new_catch_all_filter();
	struct nlattr *options, *police_nest;
	struct tc_police police;
	rate_table table;

	memset(&police, 0, sizeof(police));
	police.action = TC_POLICE_SHOT;
	police.rate.rate = to_u32_field(rate);
	police.burst =
	    to_u32_field(xmit_ticks(INGRESS_BURST, police.rate.rate));
	/* Without a framing option the record stays as it always was. */
	fill_rate_table(&police.rate, table,
			framing_given ? uncounted_header() : 0);

	options = open_nest(msg, TCA_OPTIONS);
	police_nest = open_nest(msg, TCA_BASIC_POLICE);
	nla_put(msg, TCA_POLICE_TBF, sizeof(police), &police);
	nla_put(msg, TCA_POLICE_RATE, sizeof(table), table);
	close_nest(msg, police_nest);
	close_nest(msg, options);
	send_and_wait(msg, false);
}

/* The policer add_police_filter makes, and no other. */
void
decode_police(struct nlattr *nest, struct limit_status *s)
{
	struct nlattr *tb[TCA_POLICE_MAX + 1];
	struct tc_police p;
	uint32_t mtu;

	snprintf(s->kind, sizeof(s->kind), "basic police");
	if (nla_parse_nested(tb, TCA_POLICE_MAX, nest, NULL) != 0 ||
	    tb[TCA_POLICE_TBF] == NULL)
		return;
	copy_attr(tb[TCA_POLICE_TBF], &p, sizeof(p));
	s->policed = true;
	s->rate = p.rate.rate;
	s->bucket = INGRESS_BURST;
	/* The kernel fills in the largest size its rate table covers. */
	mtu = p.rate.rate != 0 ? 255U << RATE_CELL_LOG : ~0U;
	if (p.action == TC_POLICE_SHOT && p.peakrate.rate == 0 &&
	    p.mtu == mtu &&
	    read_framing(&p.rate, uncounted_header(), &s->framing) &&
	    near_bucket(p.burst, p.rate.rate, INGRESS_BURST) &&
	    only(tb, TCA_POLICE_MAX,
		 BIT(TCA_POLICE_TBF) | BIT(TCA_POLICE_TM) |
		     BIT(TCA_POLICE_PAD)))
		s->state = LIMIT_OWN;
}
