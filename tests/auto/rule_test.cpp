// The controller's rule at known points, 5000 to 80000 Kbit/s in bytes a
// second: what it does, and to which rate.
#include <gtest/gtest.h>

#include "src/auto/auto.h"

namespace {

struct rule_case {
	const char *what;
	double rate;
	// load, delay ms, of it pondrel's own, silent s, since the last cut
	// s, the other overrun
	auto_sample s;
	double want;
	verdict why;
};

TEST(Rule, KnownAnswers)
{
	const auto_range range = {625000, 10000000};
	const rule_case cases[] = {
	    {"no answer for 3 s: the least", 5e6, {1, 0, 0, 3, 9, false}, 625000,
	     verdict::floor},
	    {"no answer, at the least already", 625000, {1, 0, 0, 9, 9, false}, 625000,
	     verdict::hold},
	    {"delayed and full: 90 % of the rate", 5e6, {1, 30, 0, 0, 1, false}, 4.5e6,
	     verdict::cut},
	    {"delayed at 60 %: 90 % of what passed", 5e6, {0.6, 30, 0, 0, 1, false},
	     2.7e6, verdict::cut},
	    {"a cut never below the least", 1e6, {0.6, 30, 0, 0, 1, false}, 625000,
	     verdict::cut},
	    {"delayed but idle: another's queue", 5e6, {0.05, 30, 0, 0, 9, false}, 5e6,
	     verdict::hold},
	    {"delayed 0.8 s after a cut: it waits", 5e6, {1, 30, 0, 0, 0.8, false}, 5e6,
	     verdict::hold},
	    {"delayed, full, while the other overruns: the other's queue", 5e6,
	     {1, 30, 0, 0, 9, true}, 5e6, verdict::hold},
	    {"20 ms, 19 of them a frame in each of pondrel's queues: raised",
	     625000, {1, 20, 19, 0, 9, false}, 812500, verdict::raise},
	    {"20 ms, none of them pondrel's: cut", 625000,
	     {1, 20, 0, 0, 9, false}, 625000, verdict::cut},
	    {"delayed, overrun itself: cut all the same", 5e6,
	     {0.9, 30, 0, 0, 9, true}, 4.05e6, verdict::cut},
	    {"quiet and busy: 10 % more", 5e6, {0.9, 2, 0, 0, 5, false}, 5.5e6,
	     verdict::raise},
	    {"quiet and busy, low: 2 % of the range more", 1e6, {0.9, 2, 0, 0, 5, false},
	     1187500, verdict::raise},
	    {"a raise never above the most", 9.9e6, {0.9, 2, 0, 0, 5, false}, 1e7,
	     verdict::raise},
	    {"at the most: held", 1e7, {1, 2, 0, 0, 5, false}, 1e7, verdict::hold},
	    {"between quiet and the threshold: held", 5e6, {1, 10, 0, 0, 5, false}, 5e6,
	     verdict::hold},
	    {"quiet, not busy: held", 5e6, {0.45, 2, 0, 0, 5, false}, 5e6, verdict::hold},
	    {"quiet and busy, 0.5 s after a cut: held", 5e6, {0.9, 2, 0, 0, 0.5, false},
	     5e6, verdict::hold},
	    {"above a range that was reread: held at its most", 2e7,
	     {0.45, 2, 0, 0, 5, false}, 1e7, verdict::hold},
	    {"below it: held at its least", 1e5, {0.45, 2, 0, 0, 5, false}, 625000,
	     verdict::hold},
	};
	for (const auto &c : cases) {
		const decision d = decide(range, c.rate, c.s);
		EXPECT_DOUBLE_EQ(d.rate, c.want) << c.what;
		EXPECT_EQ(d.why, c.why) << c.what;
	}
}

} // namespace
