// Whole runs of request building, recorded instead of sent, from arbitrary
// clock fields and rates. Input: three clock fields (4 bytes each, host
// order), a byte of flags, the interface index (4 bytes), then the rates:
// with flag bit 0 clear, the ingress and egress argument texts split at the
// first NUL, which go through the argument check as on the command line;
// with it set, two raw doubles (any bit pattern) handed to the set-up
// directly. Flag bits 1 to 5 are the kernel's answers, in order.
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <string>

#include "src/cli/cli.h"
#include "src/netlink/netlink.h"
#include "src/run/run.h"
#include "tests/fuzz/require.h"
#include "tests/run/recorder.h"

namespace {

// A run that finds nothing of its own in force.
const status_view nothing_in_force{};

char clock_text[64];

// The offsets of the rate fields in their bodies: tcmsg, kind and nests.
const size_t TBF_PARMS_AT = 36;
const size_t POLICE_AT = 44;

uint32_t
read_u32(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, sizeof(v));
	return v;
}

// A rate from the command line must fit the kernel's field as it stands.
void
require_accepted_rate(double rate)
{
	if (rate == NO_LIMIT)
		return;
	REQUIRE(isfinite(rate));
	REQUIRE(!(rate < 0));
	REQUIRE(rate < RATE_BOUND);
}

// Every request of a kind has one length, whatever the numbers in it.
void
require_fixed_length(const recorded_request &r, int ifindex)
{
	REQUIRE(r.len == 16 + r.body.size());
	REQUIRE(r.body.size() >= sizeof(struct tcmsg));
	struct tcmsg tcm;
	memcpy(&tcm, r.body.data(), sizeof(tcm));
	REQUIRE(tcm.tcm_ifindex == ifindex);
	switch (r.type) {
	case RTM_DELQDISC:
		REQUIRE(r.len == 36);
		break;
	case RTM_NEWTFILTER:
		REQUIRE(r.len == 1144);
		break;
	case RTM_NEWQDISC:
		REQUIRE(r.len == 48 || r.len == 1124);
		REQUIRE(memcmp(&r.body[24], r.len == 48 ? "ingress" : "tbf",
			       r.len == 48 ? 8 : 4) == 0);
		break;
	default:
		REQUIRE(!"a request of an unknown type");
	}
}

// The rate field holds the accepted rate truncated, never wrapped.
void
require_rate_field(const recorded_request &r, double rate)
{
	size_t at;
	if (r.type == RTM_NEWTFILTER)
		at = POLICE_AT + offsetof(struct tc_police, rate.rate);
	else if (r.type == RTM_NEWQDISC && r.len == 1124)
		at = TBF_PARMS_AT + offsetof(struct tc_tbf_qopt, rate.rate);
	else
		return;
	REQUIRE(read_u32(&r.body[at]) == static_cast<uint32_t>(rate));
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const size_t HEAD = 17;
	if (size < HEAD)
		return 0;
	snprintf(clock_text, sizeof(clock_text), "%08x %08x %08x\n",
		 read_u32(data), read_u32(data + 4), read_u32(data + 8));
	uint8_t flags = data[12];
	int ifindex = static_cast<int>(read_u32(data + 13));
	const uint8_t *rest = data + HEAD;
	size_t left = size - HEAD;

	double ingress, egress;
	bool from_text = (flags & 1) == 0;
	if (from_text) {
		const uint8_t *nul =
		    static_cast<const uint8_t *>(memchr(rest, 0, left));
		if (nul == nullptr)
			return 0;
		std::string in(rest, nul), eg(nul + 1, rest + left);
		if (eg.find('\0') != std::string::npos)
			return 0;
		if (check_rate_arg(in.c_str(), false, &ingress) !=
			rate_check::ok ||
		    check_rate_arg(eg.c_str(), false, &egress) !=
			rate_check::ok)
			return 0;
		require_accepted_rate(ingress);
		require_accepted_rate(egress);
	} else {
		if (left < 2 * sizeof(double))
			return 0;
		memcpy(&ingress, rest, sizeof(double));
		memcpy(&egress, rest + sizeof(double), sizeof(double));
	}

	// A plain run, as the command line sets it up for the device.
	run plain = {};
	plain.name = "eth0";
	plain.ifindex = ifindex;
	plain.how = &plain_mode;
	plain.tx_queues = plain.rx_queues = 1;
	REQUIRE(parse_psched_clock(clock_text, &plain.terms.ticks_per_second));
	// The fields reached the clock: a 1 GHz clock counts nanoseconds.
	uint32_t num = read_u32(data), den = read_u32(data + 4),
		 hz = read_u32(data + 8);
	double tps =
	    static_cast<double>(hz == 1000000000 ? den : num) / den * hz;
	double got = plain.terms.ticks_per_second;
	REQUIRE(got == tps || (isnan(got) && isnan(tps)));

	reset_recorder();
	for (int i = 1; i <= 5; i++)
		answers.push_back((flags >> i) & 1);
	configure_ingress(plain, ingress, nothing_in_force);
	configure_egress(plain, egress, nothing_in_force);

	REQUIRE(recorded.size() >= 2 && recorded.size() <= 5);
	for (const auto &r : recorded) {
		require_fixed_length(r, ifindex);
		if (from_text)
			require_rate_field(
			    r, r.type == RTM_NEWTFILTER ? ingress : egress);
	}
	return 0;
}
