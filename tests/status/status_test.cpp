// The status decoding against dumps that a kernel gave, kept as they came:
// faults in parsing show here without a kernel. The files in dumps/ hold the
// kernel's answers to `pondrel --json IFACE`, recorded in the user-mode
// kernel with `uml_wire_check --record nlmon0 FILE pondrel --json IFACE`:
//   default-after-traffic  `pondrel v4a 10000 5000`, then UDP and TCP through
//   shaped-after-traffic   `pondrel --shape v4a 10000 5000`, then TCP through
//   htb-and-passing-police `tc ... root htb`, `tc ... basic police rate
//                          1mbit burst 10k mtu 2k pipe` on d0
//   nothing-set            a fresh dummy d0
//   framed-plain           `pondrel --atm --overhead 44 --mpu 64 d0 10000
//                          5000` on a fresh dummy d0
//   fair-queue-after-traffic  `pondrel --shape v4a 10000 5000` with its
//                          fair queues, then TCP through each way
//   foreign-child          the same, then `tc qdisc replace dev v4a parent
//                          1:1 handle 3: sfq`
//   cake-after-traffic     `pondrel --cake --atm --overhead 44 v4a 10000
//                          5000`, then TCP through each way
// The clock of that kernel is 1000/64 ticks per microsecond. The counters
// expected below are those `tc -s -j` showed right after each recording.
#include <stdio.h>
#include <string.h>

#include <linux/gen_stats.h>
#include <linux/rtnetlink.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "src/status/status.h"

namespace {

std::vector<uint8_t>
load(const char *name)
{
	std::string path = std::string(PONDREL_DUMPS) + "/" + name + ".bin";
	std::vector<uint8_t> bytes;
	FILE *f = fopen(path.c_str(), "rb");
	EXPECT_NE(f, nullptr) << path;
	if (f == nullptr)
		return bytes;
	int c;
	while ((c = fgetc(f)) != EOF)
		bytes.push_back(static_cast<uint8_t>(c));
	fclose(f);
	return bytes;
}

status_view view;
// That kernel's clock; its devices were not this machine's, so the link
// header counts, as where sysfs cannot tell.
const link_terms terms = {{0, 0, false}, false, 14, 1000.0 / 64 * 1000000};

// Feeds each message to the decoder the dump it came from would use.
void
decode(const std::vector<uint8_t> &dump, int ifindex, int ifb,
       const char *ifb_name)
{
	begin_status(&view, ifindex, &terms);
	view.ifb = ifb;
	view.ifb_up = true;
	snprintf(view.ifb_name, sizeof(view.ifb_name), "%s", ifb_name);
	for (size_t at = 0; at + sizeof(nlmsghdr) <= dump.size();) {
		nlmsghdr h;
		memcpy(&h, &dump[at], sizeof(h));
		ASSERT_GE(h.nlmsg_len, sizeof(h));
		ASSERT_LE(at + h.nlmsg_len, dump.size());
		std::vector<uint8_t> copy(&dump[at], &dump[at] + h.nlmsg_len);
		nl_msg *msg = nlmsg_convert(reinterpret_cast<nlmsghdr *>(copy.data()));
		ASSERT_NE(msg, nullptr);
		if (h.nlmsg_type == RTM_NEWTFILTER)
			decode_filter(msg, &view);
		else
			decode_qdisc(msg, &view);
		nlmsg_free(msg);
		at += NLMSG_ALIGN(h.nlmsg_len);
	}
	judge_status(&view);
}

struct want {
	int state;
	const char *kind;
	bool policed;
	uint32_t rate, bucket, queue;
	double queue_ms;
	uint64_t bytes, packets;
	uint32_t drops, overlimits;
	bool unchecked_counters;
	struct framing framing = {};
};

void
expect(const char *what, const limit_status &got, const want &w)
{
	SCOPED_TRACE(what);
	EXPECT_EQ(got.state, w.state);
	if (w.state == LIMIT_NONE)
		return;
	EXPECT_STREQ(got.kind, w.kind);
	EXPECT_EQ(got.count.counted, true);
	if (w.unchecked_counters)
		return;
	EXPECT_EQ(got.count.bytes, w.bytes);
	EXPECT_EQ(got.count.packets, w.packets);
	EXPECT_EQ(got.count.drops, w.drops);
	EXPECT_EQ(got.count.overlimits, w.overlimits);
	if (w.state != LIMIT_OWN)
		return;
	EXPECT_EQ(got.policed, w.policed);
	EXPECT_EQ(got.rate, w.rate);
	EXPECT_EQ(got.bucket, w.bucket);
	EXPECT_EQ(got.queue, w.queue);
	EXPECT_EQ(got.queue_ms, w.queue_ms);
	EXPECT_EQ(got.framing.overhead, w.framing.overhead);
	EXPECT_EQ(got.framing.mpu, w.framing.mpu);
	EXPECT_EQ(got.framing.atm, w.framing.atm);
}

struct dump_case {
	const char *file;
	int ifindex, ifb;
	const char *ifb_name;
	want ingress, egress;
	const char *ifb_shown;
};

const want none = {LIMIT_NONE, "", false, 0, 0, 0, 0, 0, 0, 0, 0, false};

// 10000 Kbit/s is 1250000 bytes/s, 5000 is 625000; a tbf's queue is 50 ms
// of the rate above its 2048-byte bucket.
const dump_case cases[] = {
    {"default-after-traffic", 2, 0, "",
     {LIMIT_OWN, "basic police", true, 1250000, 10240, 0, 0, 845175, 595, 105,
      105, false},
     {LIMIT_OWN, "tbf", false, 625000, 2048, 33298, 50, 1046296, 1036, 247,
      1611, false},
     ""},
    {"shaped-after-traffic", 2, 4, "ifb-v4a",
     {LIMIT_OWN, "tbf", false, 1250000, 2048, 64548, 50, 1586507, 1063, 1,
      1174, false},
     {LIMIT_OWN, "tbf", false, 625000, 2048, 33298, 50, 37441, 555, 0, 0, false},
     "ifb-v4a"},
    // Without its IFB, the same redirect is no longer pondrel's.
    {"shaped-after-traffic", 2, 0, "",
     // Its counters are the action's, which tc was not asked for then.
     {LIMIT_FOREIGN, "basic mirred", false, 0, 0, 0, 0, 0, 0, 0, 0, true},
     {LIMIT_OWN, "tbf", false, 625000, 2048, 33298, 50, 37441, 555, 0, 0, false},
     ""},
    {"htb-and-passing-police", 5, 0, "",
     {LIMIT_FOREIGN, "basic police", false, 0, 0, 0, 0, 0, 0, 0, 0, false},
     {LIMIT_FOREIGN, "htb", false, 0, 0, 0, 0, 0, 0, 0, 0, false},
     ""},
    {"nothing-set", 5, 0, "", none, none, ""},
    // The policer's record holds 14 bytes more, the header that it does
    // not count on an Ethernet interface (with no device to read, one is
    // assumed); the tbf's bucket the cost of 2048 bytes in cells, which
    // shortens its queue's time.
    {"framed-plain", 3, 0, "",
     {LIMIT_OWN, "basic police", true, 1250000, 10240, 0, 0, 0, 0, 0, 0,
      false, {44, 64, true}},
     {LIMIT_OWN, "tbf", false, 625000, 2048, 33298, 49.545, 0, 0, 0, 0,
      false, {44, 64, true}},
     ""},
    {"fair-queue-after-traffic", 2, 4, "ifb-v4a",
     {LIMIT_OWN, "tbf", false, 1250000, 5000, 67500, 50, 3857831, 3374, 4,
      2762, false},
     {LIMIT_OWN, "tbf", false, 625000, 2500, 33750, 50, 1992977, 2742, 7,
      1497, false},
     "ifb-v4a"},
    // cake has no bucket and no byte queue: its own figures follow.
    {"cake-after-traffic", 2, 3, "ifb-v4a",
     {LIMIT_OWN, "cake", false, 1250000, 0, 0, 0, 3355763, 2872, 27, 3209,
      false, {44, 0, true}},
     {LIMIT_OWN, "cake", false, 625000, 0, 0, 0, 1708516, 2364, 24, 1687,
      false, {44, 0, true}},
     "ifb-v4a"},
    // The egress fair queue replaced by hand with sfq.
    {"foreign-child", 2, 4, "ifb-v4a",
     {LIMIT_OWN, "tbf", false, 1250000, 5000, 67500, 50, 3857831, 3374, 4,
      2762, false},
     {LIMIT_FOREIGN, "tbf with sfq", false, 0, 0, 0, 0, 1992977, 2742, 7,
      1497, false},
     "ifb-v4a"},
};

// A kind's own figures as --json prints them after the counters.
std::string
figures(const limit_status &s)
{
	testing::internal::CaptureStdout();
	if (s.how != nullptr && s.how->print_figures != nullptr)
		s.how->print_figures(&s, true);
	return testing::internal::GetCapturedStdout();
}

// What each fair queue and each cake of the recordings showed to tc -s -j:
// the fair queues' settings, drops and new flows; each cake's isolation,
// and the delays and drops of its busiest tin.
TEST(StatusDecoding, EachKindsOwnFigures)
{
	const struct {
		const char *file, *direction;
		std::vector<const char *> shown;
	} cases[] = {
	    {"fair-queue-after-traffic", "ingress",
	     {"\"target_ms\":10,\"interval_ms\":200,\"limit_packets\":305,"
	      "\"memory_limit_bytes\":312500,\"ecn\":true",
	      "\"drops\":4,", "\"new_flows\":862,"}},
	    {"fair-queue-after-traffic", "egress",
	     {"\"target_ms\":10,\"interval_ms\":200,\"limit_packets\":152,"
	      "\"memory_limit_bytes\":156250,\"ecn\":true",
	      "\"drops\":7,", "\"new_flows\":1490,"}},
	    {"cake-after-traffic", "ingress",
	     {"\"delay_ms\":6.022,\"peak_delay_ms\":9.011,\"drops\":27,"
	      "\"ecn_marks\":0"}},
	    {"cake-after-traffic", "egress",
	     {"\"delay_ms\":0.078,\"peak_delay_ms\":0.363,\"drops\":24,"
	      "\"ecn_marks\":0"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.file) + " " + c.direction);
		decode(load(c.file), 2, c.file[0] == 'c' ? 3 : 4, "ifb-v4a");
		const limit_status &s =
		    c.direction[0] == 'i' ? view.ingress : view.egress;
		ASSERT_EQ(s.state, LIMIT_OWN);
		std::string out = figures(s);
		for (const char *want : c.shown)
			EXPECT_THAT(out, testing::HasSubstr(want));
	}
	// The isolation is printed with the limit: by source leaving, by
	// destination arriving.
	const struct {
		const limit_status &s;
		const char *isolation;
	} cakes[] = {{view.ingress, "\"isolation\":\"dual-dsthost\""},
		     {view.egress, "\"isolation\":\"dual-srchost\""}};
	for (const auto &c : cakes) {
		testing::internal::CaptureStdout();
		c.s.how->print(&c.s, true);
		EXPECT_THAT(testing::internal::GetCapturedStdout(),
			    testing::HasSubstr(c.isolation));
	}
}

TEST(StatusDecoding, CapturedDumps)
{
	for (const dump_case &c : cases) {
		SCOPED_TRACE(std::string(c.file) + " with IFB " +
			     std::to_string(c.ifb));
		decode(load(c.file), c.ifindex, c.ifb, c.ifb_name);
		expect("ingress", view.ingress, c.ingress);
		expect("egress", view.egress, c.egress);
		EXPECT_STREQ(view.ingress.ifb, c.ifb_shown);
	}
}

// The first attribute of a type among those from at to end, or null.
uint8_t *
find_attr(uint8_t *at, uint8_t *end, int type)
{
	while (at + 4 <= end) {
		nlattr a;
		memcpy(&a, at, sizeof(a));
		if (a.nla_len < 4)
			return nullptr;
		if ((a.nla_type & NLA_TYPE_MASK) == type)
			return at;
		at += NLA_ALIGN(a.nla_len);
	}
	return nullptr;
}

// Counters beyond 2^32 must come through whole: written into the captured
// bytes where the kernel puts them, the 64-bit statistics nest of the tbf
// and the older fixed struct of the policer.
TEST(StatusDecoding, CountersAbove4GiB)
{
	std::vector<uint8_t> dump = load("default-after-traffic");
	const uint64_t big = (uint64_t{5} << 32) + 12345;
	int patched = 0;
	for (size_t at = 0; at + sizeof(nlmsghdr) <= dump.size();) {
		nlmsghdr h;
		memcpy(&h, &dump[at], sizeof(h));
		uint8_t *attrs = &dump[at] + NLMSG_SPACE(sizeof(tcmsg));
		uint8_t *end = &dump[at] + h.nlmsg_len;
		uint8_t *stats2 = find_attr(attrs, end, TCA_STATS2);
		uint8_t *old = find_attr(attrs, end, TCA_STATS);
		if (h.nlmsg_type == RTM_NEWQDISC && stats2 != nullptr &&
		    find_attr(attrs, end, TCA_OPTIONS) != nullptr) {
			nlattr s;
			memcpy(&s, stats2, sizeof(s));
			uint8_t *basic = find_attr(stats2 + 4, stats2 + s.nla_len,
						   TCA_STATS_BASIC);
			ASSERT_NE(basic, nullptr);
			memcpy(basic + 4, &big, sizeof(big));
			patched++;
		} else if (h.nlmsg_type == RTM_NEWTFILTER && old != nullptr) {
			memcpy(old + 4, &big, sizeof(big));
			patched++;
		}
		at += NLMSG_ALIGN(h.nlmsg_len);
	}
	ASSERT_EQ(patched, 3); // the tbf, the ingress qdisc, the filter
	decode(dump, 2, 0, "");
	EXPECT_EQ(view.egress.count.bytes, big);
	EXPECT_EQ(view.ingress.count.bytes, big);
	EXPECT_EQ(view.egress.state, LIMIT_OWN);
	EXPECT_EQ(view.ingress.state, LIMIT_OWN);
}

} // namespace
