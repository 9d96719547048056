// The requests of a run, byte for byte, through a recording exchange.
#include <math.h>
#include <string.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include "src/cli/cli.h"
#include "src/netlink/netlink.h"
#include "src/shaping/shaping.h"
#include "tests/shaping/images.h"
#include "tests/shaping/recorder.h"

namespace {

const double TPS = 15625000.0;
const int IFINDEX = 5;

void
record_run(double ingress, double egress)
{
	reset_recorder();
	ticks_per_second = TPS;
	target_ifindex = IFINDEX;
	configure_ingress(ingress);
	configure_egress(egress);
}

void
expect_same_requests(const std::vector<request_image> &want)
{
	ASSERT_EQ(recorded.size(), want.size());
	for (size_t i = 0; i < want.size(); i++) {
		EXPECT_EQ(recorded[i].type, want[i].type) << "request " << i;
		EXPECT_EQ(recorded[i].flags, want[i].flags) << "request " << i;
		EXPECT_EQ(recorded[i].tolerant, want[i].tolerant)
		    << "request " << i;
		EXPECT_EQ(recorded[i].len, 16 + want[i].body.size())
		    << "request " << i;
		EXPECT_EQ(recorded[i].body, want[i].body) << "request " << i;
	}
}

// The attribute at a byte offset of a request's body.
const struct nlattr *
attr_at(const recorded_request &r, size_t offset)
{
	return reinterpret_cast<const struct nlattr *>(&r.body[offset]);
}

TEST(Requests, TypicalRunSendsFiveRequestsWithTheirBytes)
{
	record_run(1250000.0, 625000.0);
	expect_same_requests(run_images(IFINDEX, 1250000.0, 625000.0, TPS));
	ASSERT_EQ(recorded.size(), 5u);

	const uint32_t lengths[] = {36, 48, 1144, 36, 1124};
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(recorded[i].len, lengths[i]) << "request " << i;
	// After the tcmsg (20) and the kind ("basic", 12; "tbf", 8).
	EXPECT_EQ(attr_at(recorded[2], 32)->nla_len, 1096);
	EXPECT_EQ(attr_at(recorded[2], 36)->nla_len, 1092);
	EXPECT_EQ(attr_at(recorded[2], 36)->nla_type, TCA_BASIC_POLICE);
	EXPECT_EQ(attr_at(recorded[4], 28)->nla_len, 1080);
	EXPECT_EQ(attr_at(recorded[4], 28)->nla_type, TCA_OPTIONS);
}

struct sequence_case {
	const char *what;
	double ingress, egress;
	std::vector<bool> answers;
	std::vector<uint16_t> types;
};

TEST(Requests, EachDirectionStopsWhereItsRequestsFail)
{
	const sequence_case cases[] = {
	    {"no limits send only the removals", NO_LIMIT, NO_LIMIT, {},
	     {RTM_DELQDISC, RTM_DELQDISC}},
	    {"failed ingress removal skips to egress", 1000, 1000, {false},
	     {RTM_DELQDISC, RTM_DELQDISC, RTM_NEWQDISC}},
	    {"refused ingress qdisc sends no filter", 1000, NO_LIMIT,
	     {true, false}, {RTM_DELQDISC, RTM_NEWQDISC, RTM_DELQDISC}},
	    {"refused filter still runs egress", 1000, 1000,
	     {true, true, false},
	     {RTM_DELQDISC, RTM_NEWQDISC, RTM_NEWTFILTER, RTM_DELQDISC,
	      RTM_NEWQDISC}},
	    {"failed root removal installs nothing", NO_LIMIT, 1000,
	     {true, false}, {RTM_DELQDISC, RTM_DELQDISC}},
	    {"minus zero is a rate, not no limit", -0.0, -0.0, {},
	     {RTM_DELQDISC, RTM_NEWQDISC, RTM_NEWTFILTER, RTM_DELQDISC,
	      RTM_NEWQDISC}},
	};
	for (const auto &c : cases) {
		reset_recorder();
		answers = c.answers;
		ticks_per_second = TPS;
		configure_ingress(c.ingress);
		configure_egress(c.egress);
		std::vector<uint16_t> types;
		for (const auto &r : recorded)
			types.push_back(r.type);
		EXPECT_EQ(types, c.types) << c.what;
	}
}

struct tbf_case {
	double rate;
	uint32_t rate_field, limit, buffer;
};

TEST(Requests, TbfFieldsAtKnownRates)
{
	const tbf_case cases[] = {
	    {625000.0, 625000, 33298, 51200},
	    {125000.0, 125000, 8298, 256000},
	    {62.5, 62, 2051, 516129032},
	    {0.0, 0, 2048, 0},
	    // R * 0.05 rounds before the sum; R / 20 would give 14848.
	    {2048.16 * 125.0, 256019, 14849, 124990},
	    // A NaN can no longer come from the command line, but the
	    // conversion still keeps every field defined.
	    {NAN, 0, 0, 0},
	};
	for (const auto &c : cases) {
		record_run(NO_LIMIT, c.rate);
		ASSERT_EQ(recorded.size(), 3u) << "rate " << c.rate;
		const recorded_request &tbf = recorded[2];
		ASSERT_EQ(tbf.len, 1124u) << "rate " << c.rate;
		struct tc_tbf_qopt q;
		uint32_t burst, first_entry;
		memcpy(&q, &tbf.body[36], sizeof(q));
		memcpy(&burst, &tbf.body[76], sizeof(burst));
		memcpy(&first_entry, &tbf.body[84], sizeof(first_entry));
		EXPECT_EQ(q.rate.rate, c.rate_field) << "rate " << c.rate;
		EXPECT_EQ(q.limit, c.limit) << "rate " << c.rate;
		EXPECT_EQ(q.buffer, c.buffer) << "rate " << c.rate;
		EXPECT_EQ(burst, 2048u) << "rate " << c.rate;
		EXPECT_EQ(first_entry, reference_ticks(8, c.rate_field, TPS))
		    << "rate " << c.rate;
		if (!isnan(c.rate)) {
			EXPECT_EQ(tbf.body, tbf_image(IFINDEX, c.rate_field,
						      c.limit, TPS)
						.body)
			    << "rate " << c.rate;
		}
	}
}

struct police_case {
	double rate;
	uint32_t rate_field, burst;
};

TEST(Requests, PoliceFieldsAtKnownRates)
{
	const police_case cases[] = {
	    {1250000.0, 1250000, 128000},
	    {625000.0, 625000, 256000},
	    {0.0, 0, 0},
	};
	for (const auto &c : cases) {
		record_run(c.rate, NO_LIMIT);
		ASSERT_EQ(recorded.size(), 4u) << "rate " << c.rate;
		struct tc_police p;
		memcpy(&p, &recorded[2].body[44], sizeof(p));
		EXPECT_EQ(p.rate.rate, c.rate_field) << "rate " << c.rate;
		EXPECT_EQ(p.burst, c.burst) << "rate " << c.rate;
		EXPECT_EQ(p.action, TC_POLICE_SHOT) << "rate " << c.rate;
		EXPECT_EQ(recorded[2].body,
			  police_filter_image(IFINDEX, c.rate_field, TPS).body)
		    << "rate " << c.rate;
	}
}

} // namespace
