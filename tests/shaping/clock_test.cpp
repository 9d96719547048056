// The scheduler clock: its text parsed directly, and the real file read.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "src/netlink/netlink.h"
#include "src/shaping/shaping.h"
#include "tests/shaping/recorder.h"

namespace {

// A run that finds nothing of its own in force.
const status_view nothing_in_force{};

const char MALFORMED[] = "varnic: error: error reading /proc/net/psched\n";

struct clock_case {
	const char *text;
	double ticks; // 0: the text is malformed, which is fatal
};

TEST(Clock, TicksPerSecondFromTheFields)
{
	GTEST_FLAG_SET(death_test_style, "fast");
	const clock_case cases[] = {
	    {"000003e8 00000040 000f4240 3b9aca00\n", 15625000.0},
	    {"000003e8 00000040 000f4240\n", 15625000.0},
	    // A 1 GHz clock counts nanoseconds whatever the first field says.
	    {"00000001 00000001 3b9aca00 3b9aca00\n", 1e9},
	    {"deadbeef 00000040 3b9aca00 3b9aca00\n", 1e9},
	    {"00000000 00000040 3b9aca00 3b9aca00\n", 1e9},
	    {"00000001 00000002 00000064\n", 50.0},
	    {"3E8 40 F4240\n", 15625000.0},
	    // Eight digits make a field: a ninth starts the next one.
	    {"000003e800000040 000f4240\n", 15625000.0},
	    {"", 0},
	    {"000003e8 00000040\n", 0},
	    {"000003e8 00000040 \n", 0},
	    {"clock\n", 0},
	};
	for (const auto &c : cases) {
		if (c.ticks == 0) {
			// A reason left by an earlier call must not show.
			EXPECT_EXIT(
			    (errno = ENOENT, parse_psched_clock(c.text)),
			    testing::ExitedWithCode(1), testing::Eq(MALFORMED))
			    << c.text;
			continue;
		}
		ticks_per_second = 0;
		parse_psched_clock(c.text);
		EXPECT_EQ(ticks_per_second, c.ticks) << c.text;
	}
}

TEST(Clock, NanosecondClockReachesTheBucketDepth)
{
	parse_psched_clock("00000001 00000001 3b9aca00 3b9aca00\n");
	reset_recorder();
	configure_egress(625000.0, &nothing_in_force);
	ASSERT_EQ(recorded.size(), 2u);
	struct tc_tbf_qopt q;
	memcpy(&q, &recorded[1].body[36], sizeof(q));
	// 2048 bytes at 625000 bytes/s are 3.2768 ms.
	EXPECT_EQ(q.buffer, 3276800u);
}

struct rlimit descriptors;

// The soft limit comes back on the way out: LeakSanitizer's check at exit
// opens files of its own.
void
restore_descriptors()
{
	setrlimit(RLIMIT_NOFILE, &descriptors);
}

void
read_without_descriptors()
{
	getrlimit(RLIMIT_NOFILE, &descriptors);
	struct rlimit none = descriptors;
	none.rlim_cur = 0;
	atexit(restore_descriptors);
	setrlimit(RLIMIT_NOFILE, &none);
	read_psched_clock();
}

// What only the file itself can show: the tool reads this very file whole,
// and a file it cannot open is fatal with the system's reason.
TEST(Clock, TheKernelsFileIsReadAndItsFailureReported)
{
	GTEST_FLAG_SET(death_test_style, "fast");
	char text[64] = "";
	FILE *f = fopen(PSCHED_PATH, "r");
	ASSERT_NE(f, nullptr) << PSCHED_PATH << ": " << strerror(errno);
	ASSERT_NE(fgets(text, sizeof(text), f), nullptr);
	fclose(f);
	parse_psched_clock(text);
	double want = ticks_per_second;
	ticks_per_second = 0;
	read_psched_clock();
	EXPECT_EQ(ticks_per_second, want);

	const std::string refused = std::string("varnic: error: error reading "
						"/proc/net/psched: ") +
				    strerror(EMFILE) + "\n";
	EXPECT_EXIT(read_without_descriptors(), testing::ExitedWithCode(1),
		    testing::Eq(refused));
}

} // namespace
