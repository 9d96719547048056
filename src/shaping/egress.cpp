/* Egress: a token-bucket filter as the root qdisc shapes what leaves. */
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../cli/cli.h"
#include "../netlink/netlink.h"

/*
 * The shaped modes' root on either device. cake is one qdisc. Otherwise
 * the tbf holds the rate, and the fair queue in its class keeps the delay
 * short. A kernel without fq_codel refuses the second, reported; the tbf
 * stays, so the limit still holds. False only when the root was refused.
 */
bool
shape_root(int ifindex, double rate, bool arriving)
{
	uint32_t field = to_u32_field(rate);

	if (cake_mode)
		return add_cake(ifindex, rate, arriving, false);
	if (!add_tbf(ifindex, rate, TBF_HANDLE, tbf_burst(field, true)))
		return false;
	add_fair_queue(ifindex, field);
	return true;
}

void
configure_egress(double rate, const struct status_view *now)
{
	/* pondrel's cake is changed in place: never a moment unlimited. */
	if (cake_mode && !(rate < 0) && now->egress.state == LIMIT_OWN &&
	    now->egress.how == &cake_kind) {
		add_cake(target_ifindex, rate, false, true);
		return;
	}
	if (!remove_qdisc(TC_H_ROOT, 0))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (rate < 0)
		return;
	if (shaped_mode)
		shape_root(target_ifindex, rate, false);
	else
		add_tbf(target_ifindex, rate, 0,
			tbf_burst(to_u32_field(rate), false));
}
