/*
 * Ingress: nothing queues incoming traffic. By default a policer drops the
 * excess; the shaped mode redirects it to an IFB and shapes it there.
 */
#include <net/if.h>
#include <string.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include "shaping.h"
#include "../cli/cli.h"
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

/* A basic filter with no match takes every packet to its action. */
static struct nl_msg *
new_catch_all_filter(void)
{
	/* Priority 0 above, the protocol below in network order on any host. */
	uint32_t info = TC_H_MAKE(0, htons(ETH_P_ALL));
	struct nl_msg *msg;

	msg = new_tc_request(RTM_NEWTFILTER, NLM_F_CREATE | NLM_F_EXCL,
			     INGRESS_HANDLE, 0, info);
	add_kind(msg, "basic");
	return msg;
}

static void
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
	fill_rate_table(&police.rate, table);

	options = open_nest(msg, TCA_OPTIONS);
	police_nest = open_nest(msg, TCA_BASIC_POLICE);
	nla_put(msg, TCA_POLICE_TBF, sizeof(police), &police);
	nla_put(msg, TCA_POLICE_RATE, sizeof(table), table);
	close_nest(msg, police_nest);
	close_nest(msg, options);
	send_and_wait(msg, false);
}

/* Every packet leaves the ingress path for the IFB's queue: stolen here. */
static bool
add_redirect_filter(int ifb)
{
	struct nl_msg *msg = new_catch_all_filter();
	struct nlattr *options, *actions, *action, *action_options;
	struct tc_mirred mirred;

	memset(&mirred, 0, sizeof(mirred));
	mirred.action = TC_ACT_STOLEN;
	mirred.eaction = TCA_EGRESS_REDIR;
	mirred.ifindex = (uint32_t)ifb;

	options = open_nest(msg, TCA_OPTIONS);
	actions = open_nest(msg, TCA_BASIC_ACT);
	action = open_nest(msg, 1); /* the first and only action */
	nla_put_string(msg, TCA_ACT_KIND, "mirred");
	action_options = open_nest(msg, TCA_ACT_OPTIONS);
	nla_put(msg, TCA_MIRRED_PARMS, sizeof(mirred), &mirred);
	close_nest(msg, action_options);
	close_nest(msg, action);
	close_nest(msg, actions);
	close_nest(msg, options);
	return send_and_wait(msg, false);
}

/*
 * The IFB's queue first, the redirect last, so that no packet meets an IFB
 * that cannot shape it. Whatever step is refused, what came before it is
 * taken down again: no IFB without its redirect, no redirect to nowhere.
 */
static void
shape_ingress(double rate)
{
	int ifb = make_ifb(target_name);

	if (ifb == 0)
		return;
	if (!remove_qdisc_on(ifb, TC_H_ROOT, 0) ||
	    !add_tbf(ifb, rate, tbf_burst(rate)) || !add_ingress_qdisc()) {
		remove_ifb(ifb);
		return;
	}
	if (!add_redirect_filter(ifb)) {
		remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE);
		remove_ifb(ifb);
	}
}

void
configure_ingress(double rate)
{
	char name[IFNAMSIZ];
	int ifb;

	if (!remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (shaped_mode && !(rate < 0)) {
		shape_ingress(rate);
		return;
	}
	/* Its redirect went with the qdisc; an IFB of ours is of no more use. */
	ifb = find_own_ifb(target_name, name);
	if (ifb != 0 && !remove_ifb(ifb))
		return;
	if (rate < 0)
		return;
	/* Without its qdisc the filter has nowhere to attach. */
	if (!add_ingress_qdisc())
		return;
	add_police_filter(rate);
}
