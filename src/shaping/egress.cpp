/* Egress: a token-bucket filter as the root qdisc shapes what leaves. */
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../cli/cli.h"
#include "../netlink/netlink.h"

/*
 * The shaped mode's root on either device: the tbf holds the rate, and the
 * fair queue in its class keeps the delay short. A kernel without fq_codel
 * refuses the second, reported; the tbf stays, so the limit still holds.
 * False only when the tbf itself was refused.
 */
bool
shape_root(int ifindex, double rate)
{
	uint32_t field = to_u32_field(rate);

	if (!add_tbf(ifindex, rate, TBF_HANDLE, tbf_burst(field, true)))
		return false;
	add_fair_queue(ifindex, field);
	return true;
}

void
configure_egress(double rate)
{
	if (!remove_qdisc(TC_H_ROOT, 0))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;
	if (shaped_mode)
		shape_root(target_ifindex, rate);
	else
		add_tbf(target_ifindex, rate, 0,
			tbf_burst(to_u32_field(rate), false));
}
