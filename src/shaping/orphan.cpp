/* An IFB whose interface has gone, removed before the run says so. */
#include <net/if.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/* Whether any mirred action, pondrel's or not, sends packets to the IFB. */
struct redirect_search {
	int ifb;
	bool found;
};

static int
find_redirect(struct nl_msg *msg, void *arg)
{
	struct redirect_search *search = (struct redirect_search *)arg;
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct nlattr *tb[TCA_ROOT_MAX + 1], *act[TCA_ACT_MAX + 1];
	struct nlattr *opt[TCA_MIRRED_MAX + 1], *a;
	struct tc_mirred m;
	int rem;

	if (nlmsg_parse(hdr, sizeof(struct tcamsg), tb, TCA_ROOT_MAX, NULL) !=
		0 ||
	    tb[TCA_ACT_TAB] == NULL)
		return NL_SKIP;
	/*
	 * The dump numbers its actions from 0, a type that the library's
	 * parser passes over, so the nest is walked by hand.
	 */
	a = (struct nlattr *)nla_data(tb[TCA_ACT_TAB]);
	for (rem = nla_len(tb[TCA_ACT_TAB]);
	     rem >= (int)sizeof(*a) && a->nla_len >= sizeof(*a) &&
	     a->nla_len <= rem;
	     rem -= NLA_ALIGN(a->nla_len),
	    a = (struct nlattr *)((char *)a + NLA_ALIGN(a->nla_len))) {
		if (nla_parse_nested(act, TCA_ACT_MAX, a, NULL) != 0 ||
		    act[TCA_ACT_OPTIONS] == NULL ||
		    nla_parse_nested(opt, TCA_MIRRED_MAX, act[TCA_ACT_OPTIONS],
				     NULL) != 0 ||
		    opt[TCA_MIRRED_PARMS] == NULL)
			continue;
		copy_attr(opt[TCA_MIRRED_PARMS], &m, sizeof(m));
		if (m.ifindex == (uint32_t)search->ifb)
			search->found = true;
	}
	return NL_OK;
}

/*
 * An interface renamed keeps its redirect, and the IFB named after its old
 * name still serves it: the kernel's actions say so, whatever the names.
 * A dump that fails counts as in use, so that nothing is taken away.
 */
static bool
redirected_to(int ifb)
{
	struct redirect_search search = {ifb, false};

	return !dump_actions("mirred", find_redirect, &search) ||
	       search.found;
}

/*
 * The kernel does not tie an IFB to the interface it serves, so one whose
 * interface went away stays behind until this or a later run for that name.
 * An interface that was only renamed still redirects to it: that one stays.
 * Without a route socket there is nothing to ask, and the run goes on to
 * say that the interface is missing.
 */
void
remove_orphaned_ifb(const char *iface)
{
	struct ifb_found found;

	if (route_fd < 0 || interface_index(iface) != 0)
		return;
	if (find_own_ifb(iface, &found) == 0 || redirected_to(found.index))
		return;
	remove_ifb(found.index);
}
