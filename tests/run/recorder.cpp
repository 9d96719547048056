// Linked in place of the real exchange, so the shaping code under test
// builds its requests exactly as a run does.
#include "tests/run/recorder.h"

#include <errno.h>
#include <net/if.h>
#include <string.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include <utility>

#include "src/netlink/netlink.h"

std::vector<recorded_request> recorded;
std::vector<bool> answers;
bool ingress_in_force = true;

void
reset_recorder()
{
	recorded.clear();
	answers.clear();
	recorded_failures = 0;
	recorded_queries = 0;
}

int recorded_failures;
int recorded_queries;

bool
request_failed(struct nl_session &nl, int err)
{
	(void)err;
	nl.failed++;
	recorded_failures++;
	return false;
}

bool
send_and_wait(struct nl_session &nl, nl_request req, bool tolerate)
{
	struct nlmsghdr *hdr = nlmsg_hdr(req.get());
	const uint8_t *body = static_cast<const uint8_t *>(nlmsg_data(hdr));
	size_t n = recorded.size();

	recorded.push_back({hdr->nlmsg_type, hdr->nlmsg_flags, hdr->nlmsg_len,
			    tolerate,
			    byte_image(body, body + nlmsg_datalen(hdr))});
	nl.absent = tolerate && !ingress_in_force &&
		    hdr->nlmsg_type == RTM_DELQDISC &&
		    ((const struct tcmsg *)body)->tcm_parent == TC_H_INGRESS;
	if (n < answers.size() && !answers[n]) {
		nl.failed++;
		return false;
	}
	return true;
}

// A refusal here is the kernel's EOPNOTSUPP, which no one reports.
int
send_quietly(struct nl_session &nl, nl_request req)
{
	size_t n = recorded.size();
	send_and_wait(nl, std::move(req), false);
	if (n < answers.size() && !answers[n]) {
		nl.failed--;
		return EOPNOTSUPP;
	}
	return 0;
}

std::map<std::string, fake_link> fake_links;

int
query_link(struct nl_session &nl, const char *name, nl_recvmsg_msg_cb_t parse,
	   void *arg)
{
	(void)nl;
	recorded_queries++;
	auto it = fake_links.find(name);
	if (it == fake_links.end())
		return ENODEV;
	const fake_link &l = it->second;
	struct nl_msg *msg = nlmsg_alloc_simple(RTM_NEWLINK, 0);
	struct ifinfomsg ifi;
	memset(&ifi, 0, sizeof(ifi));
	ifi.ifi_index = l.index;
	ifi.ifi_flags = l.up ? IFF_UP : 0;
	nlmsg_append(msg, &ifi, sizeof(ifi), NLMSG_ALIGNTO);
	nla_put_string(msg, IFLA_IFNAME, name);
	if (!l.alias.empty())
		nla_put_string(msg, IFLA_IFALIAS, l.alias.c_str());
	nla_put(msg, IFLA_ADDRESS, sizeof(l.address), l.address);
	struct nlattr *info = nla_nest_start(msg, IFLA_LINKINFO);
	nla_put_string(msg, IFLA_INFO_KIND, l.kind);
	nla_nest_end(msg, info);
	parse(msg, arg);
	nlmsg_free(msg);
	return 0;
}

// The recorder has no socket to close.
nl_session::~nl_session() {}
