/*
 * Ingress: nothing queues incoming traffic. By default a policer drops the
 * excess; the shaped mode redirects it to an IFB and shapes it there.
 */
#include <net/if.h>

#include <linux/rtnetlink.h>

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

/*
 * The IFB's queue first, the redirect last, so that no packet meets an IFB
 * that cannot shape it. Whatever step is refused, what came before it is
 * taken down again: no IFB without its redirect, no redirect to nowhere.
 * Only a refused fair queue stands: the IFB's tbf still holds the rate.
 */
static void
shape_ingress(double rate)
{
	int ifb = make_ifb(target_name);

	if (ifb == 0)
		return;
	if (!remove_qdisc_on(ifb, TC_H_ROOT, 0) ||
	    !shape_root(ifb, rate, true) || !add_ingress_qdisc()) {
		remove_ifb(ifb);
		return;
	}
	if (!add_redirect_filter(ifb)) {
		remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE);
		remove_ifb(ifb);
	}
}

void
configure_ingress(double rate, const struct status_view *now)
{
	struct ifb_found found;
	int ifb;

	/* The redirect stays, and the IFB's cake takes the new settings. */
	if (cake_mode && !(rate < 0) && now->ingress.state == LIMIT_OWN &&
	    now->ingress.how == &cake_kind && now->ingress.ifb_up) {
		add_cake(now->ifb, rate, true, true);
		return;
	}
	if (!remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE))
		return;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (shaped_mode && !(rate < 0)) {
		shape_ingress(rate);
		return;
	}
	/* Its redirect went with the qdisc; an IFB of ours is of no more use.
	 */
	ifb = find_own_ifb(target_name, &found);
	if (ifb != 0 && !remove_ifb(ifb))
		return;
	if (rate < 0)
		return;
	/* Without its qdisc the filter has nowhere to attach. */
	if (!add_ingress_qdisc())
		return;
	add_police_filter(rate);
}
