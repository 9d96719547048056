/* Egress: a token-bucket filter as the root qdisc shapes what leaves. */
#include <string.h>

#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../cli/cli.h"
#include "../netlink/netlink.h"

/*
 * A fixed 2048-byte bucket empties in well under a millisecond at tens of
 * Mbit/s, and TCP then stalls below the rate; the shaped mode lets the
 * bucket hold what the rate sends in 1 ms.
 */
uint32_t
tbf_burst(double rate)
{
	uint32_t scaled = to_u32_field(rate) / 1000;

	if (!shaped_mode || scaled < EGRESS_BURST)
		return EGRESS_BURST;
	return scaled;
}

bool
add_tbf(int ifindex, double rate, uint32_t burst)
{
	struct nl_msg *msg;
	struct nlattr *options;
	struct tc_tbf_qopt qopt;
	rate_table table;

	msg = new_tc_request_on(ifindex, RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL,
				TC_H_ROOT, 0, 0);

	memset(&qopt, 0, sizeof(qopt));
	qopt.rate.rate = to_u32_field(rate);
	/* 50 ms of traffic at the unrounded rate, plus one burst. */
	qopt.limit = to_u32_field(rate * 0.05 + burst);
	qopt.buffer = to_u32_field(xmit_ticks(burst, qopt.rate.rate));
	fill_rate_table(&qopt.rate, table);

	add_kind(msg, "tbf");
	options = open_nest(msg, TCA_OPTIONS);
	nla_put(msg, TCA_TBF_PARMS, sizeof(qopt), &qopt);
	nla_put(msg, TCA_TBF_BURST, sizeof(burst), &burst);
	nla_put(msg, TCA_TBF_RTAB, sizeof(table), table);
	close_nest(msg, options);
	return send_and_wait(msg, false);
}

void
configure_egress(double rate)
{
	if (!remove_qdisc(TC_H_ROOT, 0))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;
	add_tbf(target_ifindex, rate, tbf_burst(rate));
}
