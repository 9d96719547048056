// Whole runs of the tool under valgrind's memcheck, against this machine's
// kernel on a veth pair in a private network namespace: no invalid access
// and no definite leak, whether the kernel agrees or refuses. A fully
// static binary keeps its own malloc, which valgrind cannot replace: there
// the leak check sees no heap at all, while uninitialised bytes handed to
// the kernel and accesses outside mapped memory are still found.
#include <errno.h>

#include <gtest/gtest.h>

#include "tests/common/run.h"

namespace {

// Memcheck's own status, kept apart from the tool's 0 and 1.
const int MEMCHECK_FOUND = 99;

class Memcheck : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		enter_private_netns();
		if (!HasFatalFailure())
			make_veth_pair("pm6a", "pm6b");
	}
};

struct memcheck_case {
	const char *what;
	const char *ingress, *egress;
	int status;
	int reported;      // errno in the tool's report, 0 for silence
	const char *qdisc; // what tc must then show, or nullptr for none
};

TEST_F(Memcheck, WholeRunsAreClean)
{
	const memcheck_case cases[] = {
	    {"egress installed", "-", "5000", 0, 0, "qdisc tbf"},
	    // This kernel has no basic classifier: the filter is refused.
	    {"ingress filter refused", "10000", "-", 1, ENOENT,
	     "qdisc ingress"},
	    {"both limits removed", "-", "-", 0, 0, nullptr},
	};
	for (const auto &c : cases) {
		run_result r = run_command(
		    {"valgrind", "-q", "--error-exitcode=99",
		     "--leak-check=full", "--show-leak-kinds=definite",
		     "--errors-for-leak-kinds=definite", PONDREL_BIN, "pm6a",
		     c.ingress, c.egress});
		EXPECT_NE(r.status, 127) << "valgrind is not installed";
		EXPECT_NE(r.status, MEMCHECK_FOUND) << c.what << ":\n" << r.err;
		EXPECT_EQ(r.status, c.status) << c.what << ":\n" << r.err;
		// The tool's own words; memcheck adds any finding to them.
		std::string want = c.reported ? "varnic: error: netlink: " +
						    libc_text(c.reported) + "\n"
					      : "";
		EXPECT_EQ(r.err, want) << c.what;
		std::string shown = run_shell("tc qdisc show dev pm6a").out;
		if (c.qdisc != nullptr) {
			EXPECT_NE(shown.find(c.qdisc), std::string::npos)
			    << c.what << ": " << shown;
		} else {
			EXPECT_EQ(shown.find("qdisc tbf"), std::string::npos)
			    << c.what << ": " << shown;
			EXPECT_EQ(shown.find("qdisc ingress"), std::string::npos)
			    << c.what << ": " << shown;
		}
	}
}

} // namespace
