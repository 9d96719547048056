/* Egress: a token-bucket filter as the root qdisc shapes what leaves. */
#include <string.h>

#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../netlink/netlink.h"

void
configure_egress(double rate)
{
	struct nl_msg *msg;
	struct nlattr *options;
	struct tc_tbf_qopt qopt;
	rate_table table;
	uint32_t burst = EGRESS_BURST;

	if (!remove_qdisc(TC_H_ROOT, 0))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;

	msg = new_tc_request(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, TC_H_ROOT,
			     0, 0);

	memset(&qopt, 0, sizeof(qopt));
	qopt.rate.rate = to_u32_field(rate);
	/* 50 ms of traffic at the unrounded rate, plus one burst. */
	qopt.limit = to_u32_field(rate * 0.05 + EGRESS_BURST);
	qopt.buffer = to_u32_field(xmit_ticks(EGRESS_BURST, qopt.rate.rate));
	fill_rate_table(&qopt.rate, table);

	add_kind(msg, "tbf");
	options = open_nest(msg, TCA_OPTIONS);
	nla_put(msg, TCA_TBF_PARMS, sizeof(qopt), &qopt);
	nla_put(msg, TCA_TBF_BURST, sizeof(burst), &burst);
	nla_put(msg, TCA_TBF_RTAB, sizeof(table), table);
	close_nest(msg, options);
	send_and_wait(msg, false);
}
