// The exchange against the real kernel, inside a private network namespace.
#include <errno.h>
#include <string.h>

#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include "src/cli/cli.h"
#include "tests/common/run.h"

namespace {

class Exchange : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		enter_private_netns();
	}
	void SetUp() override
	{
		if (HasFatalFailure())
			return;
		lo = (int)if_nametoindex("lo");
		ASSERT_NE(lo, 0);
		ASSERT_EQ(open_route_socket(nl).what, nullptr);
		// The command line's report, whose words scripts match.
		nl.report = report_error;
	}
	nl_request ingress_request(int type, int flags)
	{
		nl_request req = new_tc_request(lo, type, flags, TC_H_INGRESS,
						INGRESS_HANDLE, 0);
		if (type == RTM_NEWQDISC)
			add_kind(req.get(), "ingress");
		return req;
	}
	int lo;
	nl_session nl;
};

std::string
netlink_report(int err)
{
	return std::string("varnic: error: netlink: ") + strerror(err) + "\n";
}

struct step {
	const char *what;
	int type;
	int flags;
	bool tolerate;
	bool ok;
	int reported; // errno in the report, 0 for silence
};

const int CREATE = NLM_F_CREATE | NLM_F_EXCL;

// One sequence, in order: each step relies on what the last left behind.
const step steps[] = {
    {"tolerated missing qdisc is silent", RTM_DELQDISC, 0, true, true, 0},
    {"untolerated missing qdisc is reported", RTM_DELQDISC, 0, false, false,
     ENOENT},
    {"the next request starts clean", RTM_NEWQDISC, CREATE, false, true, 0},
    {"other errors are reported even when tolerant", RTM_NEWQDISC, CREATE,
     true, false, EEXIST},
    {"a real removal succeeds", RTM_DELQDISC, 0, true, true, 0},
};

TEST_F(Exchange, AnswersFollowTheTolerancePolicy)
{
	int failures = 0;
	for (const auto &s : steps) {
		testing::internal::CaptureStderr();
		bool ok = send_and_wait(nl, ingress_request(s.type, s.flags),
					s.tolerate);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(ok, s.ok) << s.what;
		EXPECT_EQ(err, s.reported ? netlink_report(s.reported) : "")
		    << s.what;
		failures += s.ok ? 0 : 1;
		EXPECT_EQ(nl.failed, failures) << s.what;
	}
	std::string left = run_shell("tc qdisc show dev lo").out;
	EXPECT_EQ(left.find("ingress"), std::string::npos) << left;
}

TEST_F(Exchange, RootRemovalOnADeviceWithoutQdiscIsTolerated)
{
	testing::internal::CaptureStderr();
	EXPECT_TRUE(send_and_wait(
	    nl, new_tc_request(lo, RTM_DELQDISC, 0, TC_H_ROOT, 0, 0), true));
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_EQ(nl.failed, 0);
}

// The route socket stands in for if_nametoindex: the same answer for every
// kind of name, a name too long for a device included.
TEST_F(Exchange, TheRouteSocketResolvesNamesAsTheCLibraryDoes)
{
	ASSERT_GE(nl.fd, 0);
	for (const char *name : {"lo", "nosuch0", "", "lo-and-a-longer-name"})
		EXPECT_EQ(interface_index(nl, name), (int)if_nametoindex(name))
		    << "'" << name << "'";
	EXPECT_NE(interface_index(nl, "lo"), 0);
}

TEST_F(Exchange, UnprivilegedRunIsRefusedAndExitsOne)
{
	std::string bin = copy_for_any_user(PONDREL_BIN);
	run_result r = run_command({"setpriv", "--reuid=65534", "--regid=65534",
				    "--clear-groups", "--inh-caps=-all",
				    "--bounding-set=-all", bin, "lo", "-", "-"});
	run_shell("rm -r \"$(dirname '" + bin + "')\"");
	std::string eperm =
	    std::string("varnic: error: netlink: ") + libc_text(EPERM) + "\n";
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, eperm + eperm) << "both removals are refused";
	EXPECT_EQ(r.out, "");
}

} // namespace
