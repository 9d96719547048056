/* Ingress: nothing queues incoming traffic, so a policer drops the excess. */
#include <string.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../netlink/netlink.h"

static bool
add_ingress_qdisc(void)
{
	struct nl_msg *msg;

	msg = new_tc_request(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL,
			     TC_H_INGRESS, INGRESS_HANDLE, 0);
	add_kind(msg, "ingress");
	return send_and_wait(msg, false);
}

/* A basic filter with no match takes every packet to its police action. */
static void
add_police_filter(double rate)
{
	struct nl_msg *msg;
	struct nlattr *options, *police_nest;
	struct tc_police police;
	rate_table table;
	/* Priority 0 above, the protocol below in network order on any host. */
	uint32_t info = TC_H_MAKE(0, htons(ETH_P_ALL));

	msg = new_tc_request(RTM_NEWTFILTER, NLM_F_CREATE | NLM_F_EXCL,
			     INGRESS_HANDLE, 0, info);

	memset(&police, 0, sizeof(police));
	police.action = TC_POLICE_SHOT;
	police.rate.rate = to_u32_field(rate);
	police.burst =
	    to_u32_field(xmit_ticks(INGRESS_BURST, police.rate.rate));
	fill_rate_table(&police.rate, table);

	add_kind(msg, "basic");
	options = open_nest(msg, TCA_OPTIONS);
	police_nest = open_nest(msg, TCA_BASIC_POLICE);
	nla_put(msg, TCA_POLICE_TBF, sizeof(police), &police);
	nla_put(msg, TCA_POLICE_RATE, sizeof(table), table);
	close_nest(msg, police_nest);
	close_nest(msg, options);
	send_and_wait(msg, false);
}

void
configure_ingress(double rate)
{
	if (!remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;
	/* Without its qdisc the filter has nowhere to attach. */
	if (!add_ingress_qdisc())
		return;
	add_police_filter(rate);
}
