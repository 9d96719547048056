// The scheduler clock: its text parsed directly, and the real file read.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "src/run/run.h"
#include "tests/run/recorder.h"

namespace {

// A run that finds nothing of its own in force.
const status_view nothing_in_force{};

struct clock_case {
	const char *text;
	double ticks; // 0: the text is malformed, and the run cannot go on
};

TEST(Clock, TicksPerSecondFromTheFields)
{
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
		double ticks = 0;
		// A reason left by an earlier call must not show.
		errno = ENOENT;
		bool parsed = parse_psched_clock(c.text, &ticks);
		int err = errno;
		EXPECT_EQ(parsed, c.ticks != 0) << c.text;
		EXPECT_EQ(ticks, c.ticks) << c.text;
		if (!parsed) {
			EXPECT_EQ(err, 0) << c.text;
		}
	}
}

TEST(Clock, NanosecondClockReachesTheBucketDepth)
{
	run r = {"eth0", 1, &plain_mode, {}, 1, 1, {}};
	ASSERT_TRUE(parse_psched_clock("00000001 00000001 3b9aca00 3b9aca00\n",
				       &r.terms.ticks_per_second));
	reset_recorder();
	configure_egress(r, 625000.0, nothing_in_force);
	ASSERT_EQ(recorded.size(), 2u);
	struct tc_tbf_qopt q;
	memcpy(&q, &recorded[1].body[36], sizeof(q));
	// 2048 bytes at 625000 bytes/s are 3.2768 ms.
	EXPECT_EQ(q.buffer, 3276800u);
}

// What only the file itself can show: the tool reads this very file whole,
// and a file it cannot open fails with the system's reason.
TEST(Clock, TheKernelsFileIsReadAndItsFailureReported)
{
	char text[64] = "";
	FILE *f = fopen(PSCHED_PATH, "r");
	ASSERT_NE(f, nullptr) << PSCHED_PATH << ": " << strerror(errno);
	ASSERT_NE(fgets(text, sizeof(text), f), nullptr);
	fclose(f);
	double want = 0, got = 0;
	ASSERT_TRUE(parse_psched_clock(text, &want)) << text;
	EXPECT_TRUE(read_psched_clock(&got));
	EXPECT_EQ(got, want);

	// With no descriptor to be had, the file cannot be opened.
	struct rlimit descriptors, none;
	getrlimit(RLIMIT_NOFILE, &descriptors);
	none = descriptors;
	none.rlim_cur = 0;
	setrlimit(RLIMIT_NOFILE, &none);
	errno = 0;
	got = 0;
	bool read = read_psched_clock(&got);
	int err = errno;
	setrlimit(RLIMIT_NOFILE, &descriptors);
	EXPECT_FALSE(read);
	EXPECT_EQ(err, EMFILE) << strerror(err);
	EXPECT_EQ(got, 0);
}

} // namespace
