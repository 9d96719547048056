// The request envelope and nests, read back byte by byte.
#include <string.h>

#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include "src/netlink/netlink.h"

namespace {

TEST(Envelope, RemovalIsHeaderPlusTcmsg)
{
	nl_request req = new_tc_request(7, RTM_DELQDISC, 0, 0xFFFFFFF1u,
					0xFFFF0000u, 0x00000300u);
	ASSERT_TRUE(req);
	struct nlmsghdr *hdr = nlmsg_hdr(req.get());

	EXPECT_EQ(hdr->nlmsg_len, 36u);
	EXPECT_EQ(hdr->nlmsg_type, RTM_DELQDISC);
	EXPECT_EQ(hdr->nlmsg_flags, 0);

	struct tcmsg want;
	memset(&want, 0, sizeof(want));
	want.tcm_ifindex = 7;
	want.tcm_parent = 0xFFFFFFF1u;
	want.tcm_handle = 0xFFFF0000u;
	want.tcm_info = 0x00000300u;
	EXPECT_EQ(memcmp(NLMSG_DATA(hdr), &want, sizeof(want)), 0)
	    << "parent, handle and info must land in their own fields";
}

struct kind_case {
	const char *kind;
	uint16_t attr_len; // header plus text plus NUL, before padding
};

TEST(Envelope, KindCarriesItsNul)
{
	const kind_case cases[] = {{"tbf", 8}, {"ingress", 12}, {"basic", 10}};
	for (const auto &c : cases) {
		nl_request req = new_tc_request(0, RTM_NEWQDISC, 0, 0, 0, 0);
		struct nl_msg *msg = req.get();
		add_kind(msg, c.kind);
		struct nlattr *a =
		    (struct nlattr *)((char *)nlmsg_hdr(msg) + 36);
		EXPECT_EQ(a->nla_type, TCA_KIND) << c.kind;
		EXPECT_EQ(a->nla_len, c.attr_len) << c.kind;
		EXPECT_STREQ((char *)(a + 1), c.kind);
		EXPECT_EQ(nlmsg_hdr(msg)->nlmsg_len, 36u + NLA_ALIGN(c.attr_len))
		    << c.kind;
	}
}

TEST(Envelope, NestsArePlainTypesCoveringTheirContent)
{
	uint32_t word = 0x11223344;
	nl_request req = new_tc_request(0, RTM_NEWTFILTER, 0, 0, 0, 0);
	struct nl_msg *msg = req.get();
	struct nlattr *outer = open_nest(msg, TCA_OPTIONS);
	struct nlattr *inner = open_nest(msg, 4);
	nla_put(msg, 1, 3, &word); // padded to 8 bytes
	close_nest(msg, inner);
	close_nest(msg, outer);

	ASSERT_NE(outer, nullptr);
	ASSERT_NE(inner, nullptr);
	EXPECT_EQ((char *)outer - (char *)nlmsg_hdr(msg), 36);
	EXPECT_EQ(outer->nla_type, TCA_OPTIONS) << "no NLA_F_NESTED bit";
	EXPECT_EQ(inner->nla_type, 4) << "no NLA_F_NESTED bit";
	EXPECT_EQ(inner->nla_len, 4 + 8);
	EXPECT_EQ(outer->nla_len, 4 + 4 + 8);
	EXPECT_EQ(nlmsg_hdr(msg)->nlmsg_len, 36u + 16u);
}

} // namespace
