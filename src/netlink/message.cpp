/*
 * Building requests: the envelopes of traffic-control and link requests,
 * and the indexes of the devices they name.
 */
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include <errno.h>

#include "netlink.h"

/*
 * The route socket answers the same question as if_nametoindex, which opens
 * and closes a socket of its own for each name: three system calls where
 * one will do. A name too long for a device goes to the C library, whose
 * answer for it stays the one the tool has always given.
 */
int
interface_index(const struct nl_session &nl, const char *name)
{
	struct ifreq ifr;
	size_t len = strlen(name);

	if (nl.fd < 0 || len >= IFNAMSIZ)
		return (int)if_nametoindex(name);
	memset(&ifr, 0, sizeof(ifr));
	memcpy(ifr.ifr_name, name, len);
	if (ioctl(nl.fd, SIOCGIFINDEX, &ifr) != 0)
		return 0;
	return ifr.ifr_ifindex;
}

/* errno as the allocation left it, for the report that the exchange makes. */
nl_request::nl_request(struct nl_msg *m) : msg(m), alloc_errno(0)
{
	if (m == NULL)
		alloc_errno = errno;
}

nl_request
new_tc_request(int ifindex, int type, int flags, uint32_t parent,
	       uint32_t handle, uint32_t info)
{
	nl_request req(nlmsg_alloc_simple(type, flags));
	struct tcmsg tcm;

	if (!req)
		return req;
	memset(&tcm, 0, sizeof(tcm));
	tcm.tcm_ifindex = ifindex;
	tcm.tcm_handle = handle;
	tcm.tcm_parent = parent;
	tcm.tcm_info = info;
	nlmsg_append(req.get(), &tcm, sizeof(tcm), NLMSG_ALIGNTO);
	return req;
}

nl_request
new_link_request(int type, int flags, int ifindex, unsigned int up)
{
	nl_request req(nlmsg_alloc_simple(type, flags));
	struct ifinfomsg ifi;

	if (!req)
		return req;
	memset(&ifi, 0, sizeof(ifi));
	ifi.ifi_family = AF_UNSPEC;
	ifi.ifi_index = ifindex;
	/* Only the bits in ifi_change are touched: up leaves the rest be. */
	ifi.ifi_flags = up;
	ifi.ifi_change = up;
	nlmsg_append(req.get(), &ifi, sizeof(ifi), NLMSG_ALIGNTO);
	return req;
}

/* A dump of the actions of one kind: the kind goes in the first slot. */
nl_request
new_action_dump(const char *kind)
{
	nl_request req(nlmsg_alloc_simple(RTM_GETACTION, NLM_F_DUMP));
	struct tcamsg tca;
	struct nlattr *tab, *action;

	if (!req)
		return req;
	memset(&tca, 0, sizeof(tca));
	tca.tca_family = AF_UNSPEC;
	nlmsg_append(req.get(), &tca, sizeof(tca), NLMSG_ALIGNTO);
	tab = open_nest(req.get(), TCA_ACT_TAB);
	action = open_nest(req.get(), 1);
	nla_put_string(req.get(), TCA_ACT_KIND, kind);
	close_nest(req.get(), action);
	close_nest(req.get(), tab);
	return req;
}

void
add_kind(struct nl_msg *msg, const char *kind)
{
	nla_put_string(msg, TCA_KIND, kind);
}

static char *
message_end(struct nl_msg *msg)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);

	return (char *)hdr + NLMSG_ALIGN(hdr->nlmsg_len);
}

/*
 * The kernel's tc parsers predate NLA_F_NESTED and take the plain type, so
 * the nest is an ordinary empty attribute whose length is patched on close.
 */
struct nlattr *
open_nest(struct nl_msg *msg, int type)
{
	struct nlattr *nest = (struct nlattr *)message_end(msg);

	if (nla_put(msg, type, 0, NULL) < 0)
		return NULL;
	return nest;
}

void
close_nest(struct nl_msg *msg, struct nlattr *nest)
{
	if (nest != NULL)
		nest->nla_len = (uint16_t)(message_end(msg) - (char *)nest);
}
