// Byte order on the wire, spelled out per host. The kernel reads the
// netlink headers and the option records in the host's order, but compares
// the filter's protocol with the packet's, which is in network order. Only
// a big-endian run tells the two apart: this also runs under qemu-s390x.
#include <string.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include "src/run/run.h"
#include "tests/run/recorder.h"

namespace {

// A run that finds nothing of its own in force.
const status_view nothing_in_force{};

const bool BIG_ENDIAN_HOST = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// A run on index 0x0102, with a clock of nanoseconds, that records afresh.
run
recording_run(const mode *how,
	      const link_terms &terms = {{0, 0, false}, false, 0, 1e9})
{
	reset_recorder();
	return {"eth0", 0x00000102, how, terms, 1, 1, {}};
}

struct wire_case {
	const char *what;
	size_t request; // in the run's order
	size_t offset;  // in the body, after the netlink header
	byte_image little, big;
};

void
expect_fields(const wire_case *cases, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		const wire_case &c = cases[i];
		const byte_image &want = BIG_ENDIAN_HOST ? c.big : c.little;
		ASSERT_LT(c.request, recorded.size()) << c.what;
		const byte_image &body = recorded[c.request].body;
		ASSERT_LE(c.offset + want.size(), body.size()) << c.what;
		byte_image got(body.begin() + c.offset,
			       body.begin() + c.offset + want.size());
		EXPECT_EQ(got, want) << c.what;
	}
}

TEST(ByteOrder, FieldsAreInTheOrderTheKernelReads)
{
	// 0x01020304 bytes/s ingress and 0x0A0B0C0D bytes/s egress.
	run r = recording_run(&plain_mode);
	configure_ingress(r, 16909060.0, nothing_in_force);
	configure_egress(r, 168496141.0, nothing_in_force);
	ASSERT_EQ(recorded.size(), 5u);

	const size_t police_rate =
	    44 + offsetof(struct tc_police, rate) + offsetof(tc_ratespec, rate);
	const size_t tbf_rate = 36 + offsetof(struct tc_tbf_qopt, rate) +
				offsetof(tc_ratespec, rate);
	const wire_case cases[] = {
	    // Protocol ETH_P_ALL in network order, priority 0.
	    {"filter tcm_info", 2, offsetof(struct tcmsg, tcm_info),
	     {0x00, 0x03, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x03}},
	    {"tcm_ifindex", 2, offsetof(struct tcmsg, tcm_ifindex),
	     {0x02, 0x01, 0x00, 0x00}, {0x00, 0x00, 0x01, 0x02}},
	    {"filter parent ffff:", 2, offsetof(struct tcmsg, tcm_parent),
	     {0x00, 0x00, 0xff, 0xff}, {0xff, 0xff, 0x00, 0x00}},
	    // nla_len 10 ("basic" with its NUL), then TCA_KIND 1.
	    {"kind attribute header", 2, 20, {0x0a, 0x00, 0x01, 0x00},
	     {0x00, 0x0a, 0x00, 0x01}},
	    {"police rate", 2, police_rate, {0x04, 0x03, 0x02, 0x01},
	     {0x01, 0x02, 0x03, 0x04}},
	    {"tbf rate", 4, tbf_rate, {0x0d, 0x0c, 0x0b, 0x0a},
	     {0x0a, 0x0b, 0x0c, 0x0d}},
	    // TCA_TBF_BURST: 2048 bytes.
	    {"tbf burst", 4, 76, {0x00, 0x08, 0x00, 0x00},
	     {0x00, 0x00, 0x08, 0x00}},
	};
	expect_fields(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(ByteOrder, ShapedEgressFieldsAreInTheOrderTheKernelReads)
{
	// 125000 bytes/s: a fair queue target of 12112 us, 0x2f50.
	run r = recording_run(&shaped_mode);
	configure_egress(r, 125000.0, nothing_in_force);
	ASSERT_EQ(recorded.size(), 3u);

	const wire_case cases[] = {
	    {"tbf handle 1:", 1, offsetof(struct tcmsg, tcm_handle),
	     {0x00, 0x00, 0x01, 0x00}, {0x00, 0x01, 0x00, 0x00}},
	    {"fair queue parent 1:1", 2, offsetof(struct tcmsg, tcm_parent),
	     {0x01, 0x00, 0x01, 0x00}, {0x00, 0x01, 0x00, 0x01}},
	    // After the tcmsg, "fq_codel" and the options' header.
	    {"fair queue target", 2, 20 + 16 + 4 + 4,
	     {0x50, 0x2f, 0x00, 0x00}, {0x00, 0x00, 0x2f, 0x50}},
	};
	expect_fields(cases, sizeof(cases) / sizeof(cases[0]));
}

// The framing's 16-bit fields: overhead 0x0203 and minimum unit 0x0405, the
// policer's overhead with the 14 bytes of the Ethernet header it does not
// count.
TEST(ByteOrder, FramingFieldsAreInTheHostsOrder)
{
	run r =
	    recording_run(&plain_mode, {{0x0203, 0x0405, true}, true, 14, 1e9});
	configure_ingress(r, 16909060.0, nothing_in_force);
	configure_egress(r, 168496141.0, nothing_in_force);
	ASSERT_EQ(recorded.size(), 5u);

	const size_t police = 44 + offsetof(struct tc_police, rate);
	const size_t tbf = 36 + offsetof(struct tc_tbf_qopt, rate);
	const wire_case cases[] = {
	    {"police overhead", 2, police + offsetof(tc_ratespec, overhead),
	     {0x11, 0x02}, {0x02, 0x11}},
	    {"police mpu", 2, police + offsetof(tc_ratespec, mpu),
	     {0x05, 0x04}, {0x04, 0x05}},
	    {"tbf overhead", 4, tbf + offsetof(tc_ratespec, overhead),
	     {0x03, 0x02}, {0x02, 0x03}},
	    {"tbf mpu", 4, tbf + offsetof(tc_ratespec, mpu), {0x05, 0x04},
	     {0x04, 0x05}},
	};
	expect_fields(cases, sizeof(cases) / sizeof(cases[0]));
}

} // namespace
