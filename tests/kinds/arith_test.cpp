// Tick arithmetic and rate tables at known figures.
#include <math.h>

#include <gtest/gtest.h>

#include "src/kinds/kinds.h"

namespace {

struct field_case {
	double in;
	uint32_t out;
};

TEST(ToU32Field, TruncatesAndKeepsTheLow32Bits)
{
	const field_case cases[] = {
	    {0.0, 0},
	    {-0.0, 0},
	    {1.9, 1},
	    {-1.9, 0xFFFFFFFFu}, // -1 as a signed 64-bit integer
	    {4294967295.9, 4294967295u},
	    {4294967296.0, 0},
	    {4294967297.5, 1},
	    {4571428571.43, 276461275u},
	    {9223372036854774784.0, 0xFFFFFC00u}, // largest double below 2^63
	    {9223372036854775808.0, 0},           // 2^63 is out of range
	    {-9223372036854775808.0, 0},          // -2^63 fits, low bits 0
	    {-9223372036854777856.0, 0},          // next double below
	    {1e300, 0},
	    {INFINITY, 0},
	    {-INFINITY, 0},
	    {NAN, 0},
	};
	for (const auto &c : cases)
		EXPECT_EQ(to_u32_field(c.in), c.out) << "value " << c.in;
}

struct table_case {
	uint32_t rate;
	std::vector<std::pair<int, uint32_t>> entries;
	struct framing framing = {};
};

TEST(RateTable, EntriesAtKnownRates)
{
	const table_case cases[] = {
	    // Quotient first: 156 and 160 land one below the exact multiple.
	    {625000,
	     {{0, 200}, {1, 400}, {2, 600}, {156, 31399}, {160, 32199},
	      {255, 51200}}},
	    {1250000, {{0, 100}, {1, 200}, {2, 300}, {156, 15699},
		       {160, 16099}, {255, 25600}}},
	    {125000,
	     {{0, 1000}, {64, 64999}, {128, 128999}, {129, 129999},
	      {248, 248999}, {250, 250999}, {255, 256000}}},
	    {4294967250u, {{0, 0}, {33, 0}, {34, 1}, {255, 7}}},
	    // Beyond 2^32 ticks the value wraps rather than saturating.
	    {7, {{239, 4285714285u}, {240, 8604132u}, {255, 276461275u}}},
	    {8, {{255, 4000000000u}}},
	    // At 125000 bytes/s a byte takes 125 ticks. Entry i stands for
	    // 8 (i + 1) bytes: at least the minimum unit, then whole cells of
	    // 53 bytes for 48; the overhead the kernel adds before the lookup.
	    {125000, {{0, 8000}, {7, 8000}, {8, 9000}}, {44, 64, false}},
	    {125000, {{0, 6625}, {5, 6625}, {6, 13250}, {255, 284875}},
	     {0, 0, true}},
	    {125000, {{0, 13250}, {11, 13250}, {12, 19875}}, {44, 64, true}},
	};
	for (const auto &c : cases) {
		const link_terms terms = {c.framing, false, 0, 15625000.0};
		struct tc_ratespec spec = {};
		rate_table table;
		spec.rate = c.rate;
		fill_rate_table(terms, &spec, table, 0);
		for (const auto &e : c.entries)
			EXPECT_EQ(table[e.first], e.second)
			    << "rate " << c.rate << " entry " << e.first;
	}
}

TEST(RateTable, ZeroRateGivesZeroTicksAndTheSpecFields)
{
	const link_terms terms = {{0, 0, false}, false, 0, 15625000.0};
	struct tc_ratespec spec = {};
	rate_table table;
	fill_rate_table(terms, &spec, table, 0);
	for (int i = 0; i < RATE_TABLE_SIZE; i++)
		ASSERT_EQ(table[i], 0u) << "entry " << i;
	EXPECT_EQ(spec.cell_log, 3);
	EXPECT_EQ(spec.linklayer, TC_LINKLAYER_ETHERNET);
	EXPECT_EQ(spec.cell_align, -1);
	EXPECT_EQ(spec.overhead, 0);
	EXPECT_EQ(spec.mpu, 0);
	EXPECT_EQ(spec.rate, 0u);
}

TEST(RateTable, BrokenClockGivesZerosNotGarbage)
{
	// A second clock field of 0 makes the tick rate infinite.
	const link_terms terms = {{0, 0, false}, false, 0, INFINITY};
	struct tc_ratespec spec = {};
	rate_table table;
	spec.rate = 625000;
	fill_rate_table(terms, &spec, table, 0);
	EXPECT_EQ(table[0], 0u);
	EXPECT_EQ(table[255], 0u);
	EXPECT_EQ(to_u32_field(xmit_ticks(terms, 2048, 625000)), 0u);
}

} // namespace
