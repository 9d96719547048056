// The scheduler clock, read from a fake /proc in a private mount namespace.
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "src/netlink/netlink.h"
#include "src/shaping/shaping.h"
#include "tests/common/run.h"
#include "tests/shaping/recorder.h"

namespace {

class Clock : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		GTEST_FLAG_SET(death_test_style, "fast");
		ASSERT_EQ(unshare(CLONE_NEWNS), 0)
		    << "unshare(CLONE_NEWNS): " << strerror(errno)
		    << " (these tests need root and mount namespaces)";
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE,
				nullptr),
			  0)
		    << strerror(errno);
		ASSERT_EQ(mount("none", "/proc", "tmpfs", 0, nullptr), 0)
		    << strerror(errno);
		ASSERT_EQ(mkdir("/proc/net", 0755), 0) << strerror(errno);
	}

	static void write_clock(const char *text)
	{
		FILE *f = fopen(PSCHED_PATH, "w");
		ASSERT_NE(f, nullptr) << strerror(errno);
		fputs(text, f);
		fclose(f);
	}
};

struct clock_case {
	const char *text;
	double ticks;
};

TEST_F(Clock, TicksPerSecondFromTheFields)
{
	const clock_case cases[] = {
	    {"000003e8 00000040 000f4240 3b9aca00\n", 15625000.0},
	    {"000003e8 00000040 000f4240\n", 15625000.0},
	    // A 1 GHz clock counts nanoseconds whatever the first field says.
	    {"00000001 00000001 3b9aca00 3b9aca00\n", 1e9},
	    {"deadbeef 00000040 3b9aca00 3b9aca00\n", 1e9},
	    {"00000000 00000040 3b9aca00 3b9aca00\n", 1e9},
	    {"00000001 00000002 00000064\n", 50.0},
	};
	for (const auto &c : cases) {
		write_clock(c.text);
		ticks_per_second = 0;
		read_psched_clock();
		EXPECT_EQ(ticks_per_second, c.ticks) << c.text;
	}
}

TEST_F(Clock, NanosecondClockReachesTheBucketDepth)
{
	write_clock("00000001 00000001 3b9aca00 3b9aca00\n");
	read_psched_clock();
	reset_recorder();
	configure_egress(625000.0);
	ASSERT_EQ(recorded.size(), 2u);
	struct tc_tbf_qopt q;
	memcpy(&q, &recorded[1].body[36], sizeof(q));
	// 2048 bytes at 625000 bytes/s are 3.2768 ms.
	EXPECT_EQ(q.buffer, 3276800u);
}

struct broken_case {
	const char *what;
	const char *text; // nullptr: no file at all
	const char *report;
};

TEST_F(Clock, UnreadableClockIsFatal)
{
	const broken_case cases[] = {
	    {"missing", nullptr,
	     "varnic: error: error reading /proc/net/psched: No such file or "
	     "directory\n"},
	    {"empty", "", "varnic: error: error reading /proc/net/psched\n"},
	    {"two fields", "000003e8 00000040\n",
	     "varnic: error: error reading /proc/net/psched\n"},
	    {"not hexadecimal", "clock\n",
	     "varnic: error: error reading /proc/net/psched\n"},
	};
	for (const auto &c : cases) {
		unlink(PSCHED_PATH);
		if (c.text != nullptr)
			write_clock(c.text);
		EXPECT_EXIT(read_psched_clock(), testing::ExitedWithCode(1),
			    testing::Eq(c.report))
		    << c.what;
	}
}

} // namespace
