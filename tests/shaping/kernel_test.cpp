// Whole runs against this machine's kernel, on a veth pair in a private
// network namespace; tc is the independent reader of what was installed.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include "tests/common/run.h"

namespace {

class Kernel : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		enter_private_netns();
		if (!HasFatalFailure())
			make_veth_pair("pv0", "pv1");
	}

	static run_result pondrel(const char *ingress, const char *egress)
	{
		return run_command({PONDREL_BIN, "pv0", ingress, egress});
	}

	static std::string qdiscs()
	{
		return run_shell("tc qdisc show dev pv0").out;
	}
};

bool
contains(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

struct egress_case {
	const char *rate;
	const char *shown; // as tc prints the tbf
};

TEST_F(Kernel, EgressRunsInstallReplaceAndRemoveTheTbf)
{
	const egress_case cases[] = {
	    {"5000", "rate 5Mbit burst 2Kb lat 50ms"},
	    {"1000", "rate 1Mbit burst 2Kb lat 50ms"},
	    {"1000", "rate 1Mbit burst 2Kb lat 50ms"},
	    {"-", nullptr},
	    {"-", nullptr},
	};
	for (const auto &c : cases) {
		run_result r = pondrel("-", c.rate);
		EXPECT_EQ(r.status, 0) << c.rate << ": " << r.err;
		EXPECT_EQ(r.err, "") << c.rate;
		EXPECT_EQ(r.out, "") << c.rate;
		std::string shown = qdiscs();
		if (c.shown == nullptr) {
			EXPECT_FALSE(contains(shown, "tbf")) << shown;
		} else {
			EXPECT_TRUE(contains(shown, c.shown)) << shown;
			size_t first = shown.find("qdisc tbf");
			EXPECT_EQ(shown.find("qdisc tbf", first + 1),
				  std::string::npos)
			    << "one tbf only: " << shown;
		}
	}
}

TEST_F(Kernel, TbfCarriesRateBurstAndLimit)
{
	ASSERT_EQ(pondrel("-", "5000").status, 0);
	// limit 33298 bytes is 50 ms at 625000 bytes/s plus the 2048 burst.
	std::string json = run_shell("tc -j qdisc show dev pv0 root").out;
	EXPECT_TRUE(contains(json, "\"kind\":\"tbf\"")) << json;
	EXPECT_TRUE(contains(json, "\"rate\":625000")) << json;
	EXPECT_TRUE(contains(json, "\"lat\":50000")) << json;
	std::string dump = run_shell("tc -d -s qdisc show dev pv0 root").out;
	EXPECT_TRUE(contains(dump, "burst 2Kb")) << dump;
}

TEST_F(Kernel, IngressFilterIsRefusedHereYetEgressIsShaped)
{
	// This kernel has the ingress qdisc but no basic classifier.
	run_result r = pondrel("10000", "5000");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "varnic: error: netlink: " + libc_text(ENOENT) + "\n");
	EXPECT_EQ(r.out, "");
	std::string shown = qdiscs();
	EXPECT_TRUE(contains(shown, "qdisc ingress ffff:")) << shown;
	EXPECT_TRUE(contains(shown, "rate 5Mbit burst 2Kb lat 50ms")) << shown;

	r = pondrel("-", "-");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	shown = qdiscs();
	EXPECT_FALSE(contains(shown, "ingress")) << shown;
	EXPECT_FALSE(contains(shown, "tbf")) << shown;
}

TEST_F(Kernel, DeletedInterfaceIsInvalid)
{
	ASSERT_EQ(run_shell("ip link add pvgone type veth peer name pvgone1")
		      .status,
		  0);
	ASSERT_EQ(run_command({PONDREL_BIN, "pvgone", "-", "-"}).status, 0);
	ASSERT_EQ(run_shell("ip link del pvgone").status, 0);
	run_result r = run_command({PONDREL_BIN, "pvgone", "-", "-"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "invalid interface: pvgone\n");
}

} // namespace
