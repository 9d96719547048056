// Whole runs against the kernel the test runs on, on a veth pair in a
// private network namespace; tc is the independent reader of what was
// installed. Built twice from this file: as kernel_test, and as
// memcheck_test (PONDREL_MEMCHECK), where every run of the tool goes
// through valgrind's memcheck and must show no invalid access and no
// definite leak, whether the kernel agrees or refuses. A fully static
// binary keeps its own malloc, which valgrind cannot replace: there the leak
// check sees no heap at all, while uninitialised bytes handed to the kernel
// and accesses outside mapped memory are still found.
//
// Kernels differ in what they police with: a stock one loads cls_basic and
// act_police on demand, others lack them. tc is asked first, in the same
// namespace, and each run is held to what that kernel must answer; the
// user-mode suite runs this test with act_police held back and again with
// it loaded, so that both answers are proven on any machine.
#include <errno.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include "tests/common/run.h"

namespace
{

// Memcheck's own status, kept apart from the tool's 0 and 1.
const int MEMCHECK_FOUND = 99;

bool kernel_polices;

class Kernel : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		enter_private_netns();
		if (HasFatalFailure())
			return;
		make_veth_pair("pv0", "pv1");
		// On the peer, which the runs never touch.
		kernel_polices =
		    run_shell("tc qdisc add dev pv1 ingress && tc filter add "
			      "dev pv1 parent ffff: basic action police rate "
			      "1mbit burst 10k drop")
			.status == 0;
		run_shell("tc qdisc del dev pv1 ingress");
		printf("kernel: %s\n", kernel_polices
					   ? "tc can police ingress"
					   : "tc cannot police ingress");
	}
};

// The tool as the tests run it: with no capability left at all where
// privileged is false, and under memcheck in memcheck_test.
run_result
pondrel(const std::vector<std::string> &args, bool privileged = true)
{
	std::vector<std::string> argv;
	if (!privileged)
		argv = {"setpriv", "--inh-caps=-all", "--bounding-set=-all"};
#ifdef PONDREL_MEMCHECK
	argv.insert(argv.end(),
		    {"valgrind", "-q", "--error-exitcode=99",
		     "--leak-check=full", "--show-leak-kinds=definite",
		     "--errors-for-leak-kinds=definite"});
#endif
	argv.push_back(PONDREL_BIN);
	argv.insert(argv.end(), args.begin(), args.end());
	run_result r = run_command(argv);
	EXPECT_NE(r.status, 127) << argv[0] << " is not installed";
	EXPECT_NE(r.status, MEMCHECK_FOUND) << r.err;
	return r;
}

// One line of what tc shows, as the user-mode suite and the boards judge it.
std::string
state()
{
	return run_shell(". " PONDREL_CHECKS " && state pv0").out;
}

struct outcome {
	int status;
	int reported; // errno in each report, 0 for silence
	int reports;  // how many lines of it
	const char *state;
};

struct whole_run {
	const char *what;
	const char *ingress, *egress;
	bool privileged;
	outcome polices, cannot; // on a kernel where tc can police, and not
};

TEST_F(Kernel, WholeRunsAsTcShowsThem)
{
	const char *tbf5 = "tbf 5Mbit 2Kb 50ms | ingress 0 filters 0";
	const char *tbf1 = "tbf 1Mbit 2Kb 50ms | ingress 0 filters 0";
	const char *none = "| ingress 0 filters 0";
	const whole_run runs[] = {
	    {"egress installed",
	     "-",
	     "5000",
	     true,
	     {0, 0, 0, tbf5},
	     {0, 0, 0, tbf5}},
	    {"another rate replaces it",
	     "-",
	     "1000",
	     true,
	     {0, 0, 0, tbf1},
	     {0, 0, 0, tbf1}},
	    {"the same run again",
	     "-",
	     "1000",
	     true,
	     {0, 0, 0, tbf1},
	     {0, 0, 0, tbf1}},
	    {"egress removed",
	     "-",
	     "-",
	     true,
	     {0, 0, 0, none},
	     {0, 0, 0, none}},
	    {"removed again", "-", "-", true, {0, 0, 0, none}, {0, 0, 0, none}},
	    // Without a policer only the filter is refused: egress is shaped.
	    {"both directions",
	     "10000",
	     "5000",
	     true,
	     {0, 0, 0,
	      "tbf 5Mbit 2Kb 50ms | ingress 1 filters 1 police 10Mbit 10Kb "
	      "2Kb drop"},
	     {1, ENOENT, 1, "tbf 5Mbit 2Kb 50ms | ingress 1 filters 0"}},
	    {"ingress alone",
	     "20000",
	     "-",
	     true,
	     {0, 0, 0, "| ingress 1 filters 1 police 20Mbit 10Kb 2Kb drop"},
	     {1, ENOENT, 1, "| ingress 1 filters 0"}},
	    {"both limits removed",
	     "-",
	     "-",
	     true,
	     {0, 0, 0, none},
	     {0, 0, 0, none}},
	    // Refused by any kernel: each direction's first request reports.
	    {"without CAP_NET_ADMIN",
	     "10000",
	     "5000",
	     false,
	     {1, EPERM, 2, none},
	     {1, EPERM, 2, none}},
	};
	for (const auto &run : runs) {
		const outcome &want = kernel_polices ? run.polices : run.cannot;
		run_result r =
		    pondrel({"pv0", run.ingress, run.egress}, run.privileged);
		std::string report;
		for (int i = 0; i < want.reports; i++)
			report += "varnic: error: netlink: " +
				  libc_text(want.reported) + "\n";
		EXPECT_EQ(r.status, want.status) << run.what << ": " << r.err;
		EXPECT_EQ(r.err, report) << run.what;
		EXPECT_EQ(r.out, "") << run.what;
		EXPECT_EQ(state(), want.state) << run.what;
	}
}

TEST_F(Kernel, TbfCarriesRateBurstAndLimit)
{
	ASSERT_EQ(pondrel({"pv0", "-", "5000"}).status, 0);
	// limit 33298 bytes is 50 ms at 625000 bytes/s plus the 2048 burst.
	std::string json = run_shell("tc -j qdisc show dev pv0 root").out;
	for (const char *part :
	     {"\"kind\":\"tbf\"", "\"rate\":625000", "\"lat\":50000"})
		EXPECT_NE(json.find(part), std::string::npos) << json;
	std::string dump = run_shell("tc -d -s qdisc show dev pv0 root").out;
	EXPECT_NE(dump.find("burst 2Kb"), std::string::npos) << dump;
}

TEST_F(Kernel, DeletedInterfaceIsInvalid)
{
	ASSERT_EQ(
	    run_shell("ip link add pvgone type veth peer name pvgone1").status,
	    0);
	ASSERT_EQ(pondrel({"pvgone", "-", "-"}).status, 0);
	ASSERT_EQ(run_shell("ip link del pvgone").status, 0);
	run_result r = pondrel({"pvgone", "-", "-"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "invalid interface: pvgone\n");
}

} // namespace
