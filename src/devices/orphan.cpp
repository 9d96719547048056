/* IFBs whose interface has gone, or was renamed away from them. */
#include <errno.h>
#include <net/if.h>
#include <string.h>

#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include "devices.h"

/* A run clears this many at most; the next run takes the rest. */
#define STRANDED_MAX 8

/* pondrel's IFBs of interfaces gone, and whether a mirred action uses each. */
struct stranded {
	int n;
	int ifb[STRANDED_MAX];
	char iface[STRANDED_MAX][IFNAMSIZ];
	bool used[STRANDED_MAX];
	const char *keep; /* the run's own interface */
};

static int
find_redirect(struct nl_msg *msg, void *arg)
{
	struct stranded *s = (struct stranded *)arg;
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct nlattr *tb[TCA_ROOT_MAX + 1], *act[TCA_ACT_MAX + 1];
	struct nlattr *opt[TCA_MIRRED_MAX + 1], *a;
	struct tc_mirred m;
	int rem, i;

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
		for (i = 0; i < s->n; i++)
			if (m.ifindex == (uint32_t)s->ifb[i])
				s->used[i] = true;
	}
	return NL_OK;
}

/*
 * An interface renamed keeps its redirect, and the IFB named after its old
 * name still serves it: the kernel's actions say so, whatever the names.
 * Only those that nothing redirects to go; a dump that fails takes none.
 */
static void
remove_unused(struct nl_session &nl, struct stranded *s)
{
	int i;

	if (s->n == 0 || !dump_actions(nl, "mirred", find_redirect, s))
		return;
	for (i = 0; i < s->n; i++)
		if (!s->used[i])
			remove_ifb(nl, s->ifb[i]);
}

/*
 * The kernel does not tie an IFB to the interface it serves, so one whose
 * interface went away stays behind until this or a later run for that name.
 * Without a route socket there is nothing to ask, and the run goes on to
 * say that the interface is missing.
 */
void
remove_orphaned_ifb(struct nl_session &nl, const char *iface)
{
	struct ifb_found found;
	struct stranded s;

	if (nl.fd < 0 || interface_index(nl, iface) != 0)
		return;
	memset(&s, 0, sizeof(s));
	s.ifb[0] = find_own_ifb(nl, iface, &found);
	s.n = s.ifb[0] != 0;
	remove_unused(nl, &s);
}

/* An IFB marked as pondrel's for another interface: a candidate. */
static int
note_marked(struct nl_msg *msg, void *arg)
{
	static const uint8_t no_address[ETH_ALEN] = {0};
	struct stranded *s = (struct stranded *)arg;
	const size_t prefix = sizeof(IFB_MARK_PREFIX) - 1;
	struct link_facts f;
	size_t len;

	memset(&f, 0, sizeof(f));
	f.want_address = no_address;
	if (s->n == STRANDED_MAX || read_link(msg, &f) != NL_OK || !f.ifb)
		return NL_OK;
	/* The whole alias is the mark and a name a device may have. */
	len = strlen(f.alias);
	if (len <= prefix || len - prefix >= IFNAMSIZ ||
	    memcmp(f.alias, IFB_MARK_PREFIX, prefix) != 0 ||
	    strchr(f.alias, '\n') != NULL ||
	    strcmp(f.alias + prefix, s->keep) == 0)
		return NL_OK;
	memcpy(s->iface[s->n], f.alias + prefix, len - prefix + 1);
	s->ifb[s->n++] = f.index;
	return NL_OK;
}

/* Only whether the device is there matters. */
static int
ignore_link(struct nl_msg *msg, void *arg)
{
	(void)msg;
	(void)arg;
	return NL_OK;
}

/*
 * After a rename, a run for the new name makes an IFB of its own, and the
 * one named after the old name is left with a queue that nothing sends
 * to. A shaped run removes such IFBs of other interfaces: one dump of the
 * IFBs, and the actions only when one of them has lost its interface.
 * Asked by name, the kernel loads no module for a name it lacks.
 */
void
remove_stranded_ifbs(struct nl_session &nl, const char *iface)
{
	struct stranded s;
	int i, kept = 0;

	memset(&s, 0, sizeof(s));
	s.keep = iface;
	if (!dump_links(nl, "ifb", note_marked, &s))
		return;
	for (i = 0; i < s.n; i++) {
		if (query_link(nl, s.iface[i], ignore_link, NULL) != ENODEV)
			continue;
		s.ifb[kept] = s.ifb[i];
		kept++;
	}
	s.n = kept;
	remove_unused(nl, &s);
}
