/*
 * The catch-all filter on the ingress qdisc that carries either mode's
 * ingress limit: a basic filter with no match takes every packet to what
 * it carries, the policer or the redirect.
 */
#include <string.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include "kinds.h"

nl_request
new_catch_all_filter(int ifindex)
{
	/* Priority 0 above, the protocol below in network order on any host. */
	uint32_t info = TC_H_MAKE(0, htons(ETH_P_ALL));
	nl_request req = new_tc_request(ifindex, RTM_NEWTFILTER,
					NLM_F_CREATE | NLM_F_EXCL,
					INGRESS_HANDLE, 0, info);

	if (req)
		add_kind(req.get(), "basic");
	return req;
}

/* The kernel always sends the match tree; pondrel's has no match in it. */
static bool
matches_all(struct nlattr *ematches)
{
	struct nlattr *tb[TCA_EMATCH_TREE_MAX + 1];
	struct tcf_ematch_tree_hdr hdr;

	if (ematches == NULL)
		return true;
	if (nla_parse_nested(tb, TCA_EMATCH_TREE_MAX, ematches, NULL) != 0)
		return false;
	copy_attr(tb[TCA_EMATCH_TREE_HDR], &hdr, sizeof(hdr));
	return hdr.nmatches == 0;
}

/*
 * A filter as new_catch_all_filter makes it: every protocol, chain 0, no
 * match, no class. Its options go into opt for what it carries.
 */
bool
decode_catch_all(struct tcmsg *tcm, struct nlattr **tb, struct nlattr **opt)
{
	uint32_t chain = 0;
	char kind[16];

	copy_kind(kind, sizeof(kind), tb[TCA_KIND], "");
	copy_attr(tb[TCA_CHAIN], &chain, sizeof(chain));
	return strcmp(kind, "basic") == 0 && chain == 0 &&
	       TC_H_MIN(tcm->tcm_info) == htons(ETH_P_ALL) &&
	       nla_parse_nested(opt, TCA_BASIC_MAX, tb[TCA_OPTIONS], NULL) ==
		   0 &&
	       only(opt, TCA_BASIC_MAX,
		    BIT(TCA_BASIC_POLICE) | BIT(TCA_BASIC_ACT) |
			BIT(TCA_BASIC_EMATCHES) | BIT(TCA_BASIC_PCNT) |
			BIT(TCA_BASIC_PAD)) &&
	       matches_all(opt[TCA_BASIC_EMATCHES]);
}
