/*
 * Ingress: nothing queues incoming traffic. The plain mode's policer drops
 * the excess; the shaped modes redirect it to an IFB and shape it there.
 */
#include <net/if.h>

#include <linux/rtnetlink.h>

#include "run.h"
#include "../devices/devices.h"

static bool
add_ingress_qdisc(struct run &r)
{
	nl_request req = new_tc_request(r.ifindex, RTM_NEWQDISC,
					NLM_F_CREATE | NLM_F_EXCL,
					TC_H_INGRESS, INGRESS_HANDLE, 0);

	if (req)
		add_kind(req.get(), "ingress");
	return send_and_wait(r.nl, handed(req), false);
}

/*
 * The IFB's queue first, the redirect last, so that no packet meets an IFB
 * that cannot shape it. Whatever step is refused, what came before it is
 * taken down again: no IFB without its redirect, no redirect to nowhere.
 * Only a refused child stands: the IFB's root still holds the rate. The
 * IFB takes one transmit queue for each of the interface's receive queues
 * where the mode spreads its queue over them.
 */
static void
shape_ingress(struct run &r, double rate)
{
	unsigned queues = r.how->queues ? r.rx_queues : 1;
	int ifb = make_ifb(r.nl, r.name, queues);

	if (ifb == 0)
		return;
	if (!remove_qdisc(r.nl, ifb, TC_H_ROOT, 0) ||
	    !shape_root(r, ifb, rate, true, queues) || !add_ingress_qdisc(r)) {
		remove_ifb(r.nl, ifb);
		return;
	}
	if (!add_redirect_filter(r.nl, r.ifindex, ifb)) {
		remove_qdisc(r.nl, r.ifindex, TC_H_INGRESS, INGRESS_HANDLE);
		remove_ifb(r.nl, ifb);
	}
}

void
configure_ingress(struct run &r, double rate, const struct status_view &now)
{
	struct ifb_found found;
	bool redirected;
	int ifb;

	/* The redirect stays, and the IFB's queue takes the new settings. */
	if (!(rate < 0) && now.ingress.ifb_up &&
	    changes_in_place(r, now.ingress)) {
		change_root(r, now.ifb, rate, true, now.ingress);
		return;
	}
	if (!remove_qdisc(r.nl, r.ifindex, TC_H_INGRESS, INGRESS_HANDLE))
		return;
	redirected = !r.nl.absent;
	/* An ordered test on purpose: -0 is an explicit zero, not "-". */
	if (r.how->ifb && !(rate < 0)) {
		shape_ingress(r, rate);
		return;
	}
	/*
	 * Its redirect went with the qdisc; an IFB of ours is of no more use.
	 * Where there was no qdisc, nothing sent to one: an IFB that a run
	 * stopped half-way left is taken back by the next run that shapes
	 * ingress, and the call that sets plain limits asks nothing more.
	 */
	ifb = redirected ? find_own_ifb(r.nl, r.name, &found) : 0;
	if (ifb != 0 && !remove_ifb(r.nl, ifb))
		return;
	if (rate < 0)
		return;
	/* Without its qdisc the filter has nowhere to attach. */
	if (!add_ingress_qdisc(r))
		return;
	const struct shaper at = {r.ifindex, rate, true, false, false, 0};
	r.how->policer->build(r.nl, r.terms, at);
}
