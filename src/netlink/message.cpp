/*
 * Building requests: the envelopes of traffic-control and link requests,
 * and the indexes of the devices they name.
 */
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include "netlink.h"
#include "../cli/cli.h"

int target_ifindex;
const char *target_name = "";
int route_fd = -1;

/*
 * The route socket answers the same question as if_nametoindex, which opens
 * and closes a socket of its own for each name: three system calls where
 * one will do. A name too long for a device goes to the C library, whose
 * answer for it stays the one the tool has always given.
 */
int
interface_index(const char *name)
{
	struct ifreq ifr;
	size_t len = strlen(name);

	if (route_fd < 0 || len >= IFNAMSIZ)
		return (int)if_nametoindex(name);
	memset(&ifr, 0, sizeof(ifr));
	memcpy(ifr.ifr_name, name, len);
	if (ioctl(route_fd, SIOCGIFINDEX, &ifr) != 0)
		return 0;
	return ifr.ifr_ifindex;
}

static struct nl_msg *
new_request(int type, int flags)
{
	struct nl_msg *msg;

	msg = nlmsg_alloc_simple(type, flags);
	if (msg == NULL)
		fatal_errno("nlmsg_alloc_simple");
	return msg;
}

struct nl_msg *
new_tc_request(int type, int flags, uint32_t parent, uint32_t handle,
	       uint32_t info)
{
	return new_tc_request_on(target_ifindex, type, flags, parent, handle,
				 info);
}

/* The same envelope for a device other than the target, such as its IFB. */
struct nl_msg *
new_tc_request_on(int ifindex, int type, int flags, uint32_t parent,
		  uint32_t handle, uint32_t info)
{
	struct nl_msg *msg = new_request(type, flags);
	struct tcmsg tcm;

	memset(&tcm, 0, sizeof(tcm));
	tcm.tcm_ifindex = ifindex;
	tcm.tcm_handle = handle;
	tcm.tcm_parent = parent;
	tcm.tcm_info = info;
	nlmsg_append(msg, &tcm, sizeof(tcm), NLMSG_ALIGNTO);
	return msg;
}

struct nl_msg *
new_link_request(int type, int flags, int ifindex, unsigned int up)
{
	struct nl_msg *msg = new_request(type, flags);
	struct ifinfomsg ifi;

	memset(&ifi, 0, sizeof(ifi));
	ifi.ifi_family = AF_UNSPEC;
	ifi.ifi_index = ifindex;
	/* Only the bits in ifi_change are touched: up leaves the rest be. */
	ifi.ifi_flags = up;
	ifi.ifi_change = up;
	nlmsg_append(msg, &ifi, sizeof(ifi), NLMSG_ALIGNTO);
	return msg;
}

/* A dump of the actions of one kind: the kind goes in the first slot. */
struct nl_msg *
new_action_dump(const char *kind)
{
	struct nl_msg *msg = new_request(RTM_GETACTION, NLM_F_DUMP);
	struct tcamsg tca;
	struct nlattr *tab, *action;

	memset(&tca, 0, sizeof(tca));
	tca.tca_family = AF_UNSPEC;
	nlmsg_append(msg, &tca, sizeof(tca), NLMSG_ALIGNTO);
	tab = open_nest(msg, TCA_ACT_TAB);
	action = open_nest(msg, 1);
	nla_put_string(msg, TCA_ACT_KIND, kind);
	close_nest(msg, action);
	close_nest(msg, tab);
	return msg;
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
