// The requests of a run, byte for byte, through a recording exchange.
#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "src/cli/cli.h"
#include "src/devices/devices.h"
#include "src/run/run.h"
#include "tests/run/images.h"
#include "tests/run/recorder.h"

// Devices found by name without a kernel: the shaping code's calls of
// if_nametoindex come here, as the executable's definition goes before the
// C library's, and their sysfs attributes are files in a scratch directory.
std::map<std::string, unsigned> devices;
// What a created device's name gives once it is asked for, or 0.
unsigned created_index;

extern "C" unsigned int
if_nametoindex(const char *name)
{
	auto it = devices.find(name);
	if (it != devices.end())
		return it->second;
	for (const auto &r : recorded)
		if (r.type == RTM_NEWLINK && (r.flags & NLM_F_CREATE))
			return created_index;
	return 0;
}

namespace {

// A run that finds nothing of its own in force.
const status_view nothing_in_force{};

const double TPS = 15625000.0;
const int IFINDEX = 5;
const int IFB = 9;
const double SHAPED_IN = 2500000.0;  // 20 Mbit/s
const double SHAPED_EG = 12500000.0; // 100 Mbit/s
// Shaped, each bucket holds 4 ms of its rate, 10000 and 50000 bytes, and
// either takes 62500 ticks; the queue holds 50 ms of the rate more. A
// quarter second of the rate bounds the fair queue's memory, a packet
// per KiB of it; a full frame takes far less than the 10 ms target.
const shaper_figures SHAPED_IN_FIGURES = {{2500000, 10000, 135000, 62500},
					  {10000, 200000, 610, 625000}};
const shaper_figures SHAPED_EG_FIGURES = {
    {12500000, 50000, 675000, 62500}, {10000, 200000, 3051, 3125000}};
// Plain: the policer's 10240 bytes at 6.25 ticks a byte, the tbf's 2048
// at 1.25.
const police_figures PLAIN_IN_FIGURES = {2500000, 64000};
const tbf_figures PLAIN_EG_FIGURES = {12500000, 2048, 627048, 2560};
// The address that a run gives eth0's IFB as it makes it: 02, 'p', then
// the 32-bit FNV-1a hash of "eth0", 0x67b19724.
const uint8_t ETH0_BIRTH[6] = {0x02, 0x70, 0x67, 0xb1, 0x97, 0x24};
// --cake at 20 and 100 Mbit/s: its rate travels in bytes a second, and a
// 64 KiB GSO packet takes 26 and 5.2 ms, so both split it.
const cake_figures CAKE_IN = {2500000, 6, 1, 1, 0, 0, 0, true};
const cake_figures CAKE_EG = {12500000, 5, 0, 1, 0, 0, 0, true};

// eth0's runs at SHAPED_IN and SHAPED_EG: a plain run's policer and tbf,
// or a shaped run's tbfs and fair queues; cake at the same rates.
run_figures
eth0_figures(bool shaped, const framing_image &framing = {})
{
	const tbf_figures eg = shaped ? SHAPED_EG_FIGURES.tbf : PLAIN_EG_FIGURES;
	return {IFINDEX, IFB, "eth0", "ifb-eth0", ETH0_BIRTH, 1,
		PLAIN_IN_FIGURES, {SHAPED_IN_FIGURES.tbf, eg},
		{SHAPED_IN_FIGURES.fq, SHAPED_EG_FIGURES.fq}, {CAKE_IN, CAKE_EG},
		TPS, framing};
}

// The order that the table states for the case; none, and a failure,
// where it lacks the case.
run_order
order_of(char mode, bool ifb, char in, char eg)
{
	const run_order *order = known_order(mode, ifb, in, eg);
	EXPECT_NE(order, nullptr) << mode << ifb << in << eg;
	return order != nullptr ? *order : run_order();
}

// What each run under test knows: eth0's index, the mode and the framing.
run runs[1];

run &
test_run(const mode *how, const link_terms &terms = {{0, 0, false}, false,
						       0, TPS})
{
	run &r = runs[0];
	r.name = "eth0";
	r.ifindex = IFINDEX;
	r.how = how;
	r.terms = terms;
	r.tx_queues = r.rx_queues = 1;
	r.nl.failed = 0;
	return r;
}

void
record_in(run &r, double ingress, double egress,
	  const status_view &now = nothing_in_force)
{
	reset_recorder();
	configure_ingress(r, ingress, now);
	configure_egress(r, egress, now);
}

void
record_run(double ingress, double egress)
{
	record_in(test_run(&plain_mode), ingress, egress);
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
		EXPECT_EQ(recorded[i].body,
			  as_compared(want[i], recorded[i].body))
		    << "request " << i;
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
	// 10240 bytes at 12.5 ticks a byte; 2048 at 25, and 50 ms of the rate
	// more in the queue.
	run_figures f = eth0_figures(false);
	f.police = {1250000, 128000};
	f.tbf[1] = {625000, 2048, 33298, 51200};
	record_run(1250000.0, 625000.0);
	expect_same_requests(run_images(order_of('p', false, 'n', 'n'), f));
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
		run &r = test_run(&plain_mode);
		reset_recorder();
		answers = c.answers;
		configure_ingress(r, c.ingress, nothing_in_force);
		configure_egress(r, c.egress, nothing_in_force);
		std::vector<uint16_t> types;
		for (const auto &r : recorded)
			types.push_back(r.type);
		EXPECT_EQ(types, c.types) << c.what;
	}
}

struct tbf_case {
	double rate;
	tbf_figures want;
};

// The rate table's ends come with the image, from its known answers.
TEST(Requests, TbfFieldsAtKnownRates)
{
	const tbf_case cases[] = {
	    // Rate, bucket, queue limit and the bucket's ticks.
	    {625000.0, {625000, 2048, 33298, 51200}},
	    {125000.0, {125000, 2048, 8298, 256000}},
	    {62.5, {62, 2048, 2051, 516129032}},
	    {0.0, {0, 2048, 2048, 0}},
	    // R * 0.05 rounds before the sum; R / 20 would give 14848.
	    {2048.16 * 125.0, {256019, 2048, 14849, 124990}},
	    // A NaN can no longer come from the command line, but the
	    // conversion still keeps every field defined.
	    {NAN, {0, 2048, 0, 0}},
	};
	run_figures f = eth0_figures(false);
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "rate " << c.rate);
		record_run(NO_LIMIT, c.rate);
		ASSERT_EQ(recorded.size(), 3u);
		const byte_image &tbf = recorded[2].body;
		f.tbf[1] = c.want;
		EXPECT_EQ(tbf, as_compared(run_images({TBF}, f)[0], tbf));
	}
}

TEST(Requests, PoliceFieldsAtKnownRates)
{
	// 10240 bytes at 12.5 and 25 ticks a byte.
	const police_figures cases[] = {
	    {1250000, 128000}, {625000, 256000}, {0, 0}};
	run_figures f = eth0_figures(false);
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "rate " << c.rate);
		record_run(c.rate, NO_LIMIT);
		ASSERT_EQ(recorded.size(), 4u);
		f.police = c;
		EXPECT_EQ(
		    recorded[2].body,
		    as_compared(run_images({POLICE}, f)[0], recorded[2].body));
	}
}


std::string fake_sysfs;

void
write_attr(const std::string &dev, const char *attr, const std::string &text)
{
	std::string path = fake_sysfs + "/" + dev + "/" + attr;
	FILE *f = fopen(path.c_str(), "w");
	ASSERT_NE(f, nullptr) << path;
	fputs(text.c_str(), f);
	fclose(f);
}

enum device_state {
	NONE,
	OWN,
	UNMARKED,
	OTHER_IFACE,
	OTHER_NETNS,
	NOT_IFB,
	ALIAS_TAIL,
	UNFINISHED,
};


// Puts ifb-eth0 in the state named, as sysfs, the name lookup and the
// kernel's answer to a query show it.
void
make_ifb_device(device_state state)
{
	char dir[] = "/tmp/pondrel-sysfs-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	fake_sysfs = dir;
	devices.clear();
	fake_links.clear();
	created_index = IFB;
	if (state == NONE)
		return;
	devices["ifb-eth0"] = IFB;
	ASSERT_EQ(mkdir((fake_sysfs + "/ifb-eth0").c_str(), 0755), 0);
	// Another namespace's device of that name shows its own index.
	write_attr("ifb-eth0", "ifindex", state == OTHER_NETNS ? "7\n" : "9\n");
	const char *alias[] = {"",
			       "pondrel ingress of eth0",
			       "",
			       "pondrel ingress of eth1",
			       "pondrel ingress of eth0",
			       "pondrel ingress of eth0",
			       "pondrel ingress of eth0\nmy own device",
			       ""};
	fake_link l = {IFB, state == NOT_IFB ? "dummy" : "ifb", alias[state],
		       {0x7a, 0x11, 0x22, 0x33, 0x44, 0x55}, true};
	if (state == UNFINISHED) {
		memcpy(l.address, ETH0_BIRTH, sizeof(l.address));
		l.up = false;
	}
	fake_links["ifb-eth0"] = l;
}

void
remove_ifb_device()
{
	std::string dev = fake_sysfs + "/ifb-eth0";
	unlink((dev + "/ifindex").c_str());
	rmdir(dev.c_str());
	EXPECT_EQ(rmdir(fake_sysfs.c_str()), 0) << fake_sysfs;
	devices.clear();
}

// A run on eth0 in the mode given (--cake with cake), finding now in force.
void
record_eth0_run(bool shaped, double ingress, double egress,
		const std::vector<bool> &refusals,
		const status_view &now = nothing_in_force, bool cake = false,
		const link_terms &terms = {{0, 0, false}, false, 0, TPS})
{
	run &r = test_run(cake     ? &cake_mode
			  : shaped ? &shaped_mode
				   : &plain_mode,
			  terms);
	reset_recorder();
	answers = refusals;
	configure_ingress(r, ingress, now);
	configure_egress(r, egress, now);
}

std::vector<request_image>
shaped_images(bool existed, double ingress)
{
	return run_images(order_of('s', existed, ingress >= 0 ? 'n' : '-', 'n'),
			  eth0_figures(true));
}

// A plain run's, removing the IFB that a shaped run left where there is one.
std::vector<request_image>
plain_images(double ingress, bool ifb = false)
{
	return run_images(order_of('p', ifb, ingress >= 0 ? 'n' : '-', 'n'),
			  eth0_figures(false));
}

// The name taken by a device that is not ours: ingress stays removed,
// nothing is made, and egress goes on, as in a run without ingress.
std::vector<request_image>
name_taken_images()
{
	return shaped_images(false, NO_LIMIT);
}

struct shaped_case {
	const char *what;
	device_state ifb;
	bool shaped;
	double ingress;
	std::vector<bool> answers;
	std::vector<request_image> want;
	int failures = 0; // reported by the shaping code itself
	bool ingress_qdisc = true; // one for the run to remove
};

TEST(ShapedRequests, EachRunSendsItsRequestsWithTheirBytes)
{
	const shaped_case cases[] = {
	    {"no IFB: made, marked, shaped, then the redirect",
	     NONE,
	     true,
	     SHAPED_IN,
	     {},
	     shaped_images(false, SHAPED_IN)},
	    {"own IFB: reused, never made again",
	     OWN,
	     true,
	     SHAPED_IN,
	     {},
	     shaped_images(true, SHAPED_IN)},
	    {"an IFB born of a run stopped before its mark: taken over",
	     UNFINISHED,
	     true,
	     SHAPED_IN,
	     {},
	     shaped_images(true, SHAPED_IN)},
	    {"the kernel's answer counts, not another namespace's sysfs",
	     OTHER_NETNS,
	     true,
	     SHAPED_IN,
	     {},
	     shaped_images(true, SHAPED_IN)},
	    {"unmarked device of that name: nothing made, the name reported",
	     UNMARKED,
	     true,
	     SHAPED_IN,
	     {},
	     name_taken_images(),
	     1},
	    {"another interface's mark",
	     OTHER_IFACE,
	     true,
	     SHAPED_IN,
	     {},
	     name_taken_images(),
	     1},
	    {"the mark on a device that is no IFB",
	     NOT_IFB,
	     true,
	     SHAPED_IN,
	     {},
	     name_taken_images(),
	     1},
	    {"the mark with more after it",
	     ALIAS_TAIL,
	     true,
	     SHAPED_IN,
	     {},
	     name_taken_images(),
	     1},
	    {"- removes the own IFB",
	     OWN,
	     true,
	     NO_LIMIT,
	     {},
	     shaped_images(true, NO_LIMIT)},
	    {"- leaves an unmarked device alone",
	     UNMARKED,
	     true,
	     NO_LIMIT,
	     {},
	     shaped_images(false, NO_LIMIT)},
	    {"plain run removes the own IFB",
	     OWN,
	     false,
	     SHAPED_IN,
	     {},
	     plain_images(SHAPED_IN, true)},
	    {"plain - removes the own IFB",
	     OWN,
	     false,
	     NO_LIMIT,
	     {},
	     plain_images(NO_LIMIT, true)},
	    {"plain run without an IFB sends what it always did",
	     NONE,
	     false,
	     SHAPED_IN,
	     {},
	     plain_images(SHAPED_IN)},
	    {"plain run leaves an unmarked device alone",
	     UNMARKED,
	     false,
	     SHAPED_IN,
	     {},
	     plain_images(SHAPED_IN)},
	    {"plain run leaves a marked device that is no IFB alone",
	     NOT_IFB,
	     false,
	     SHAPED_IN,
	     {},
	     plain_images(SHAPED_IN)},
	    // Only a removed ingress qdisc could have redirected to an IFB.
	    {"plain run without an ingress qdisc asks after no IFB",
	     OWN,
	     false,
	     SHAPED_IN,
	     {},
	     plain_images(SHAPED_IN),
	     0,
	     false},
	    // Without fq_codel each tbf stays and the redirect is still made.
	    {"the IFB's fair queue refused",
	     NONE,
	     true,
	     SHAPED_IN,
	     {true, true, true, true, true, false},
	     shaped_images(false, SHAPED_IN)},
	    {"the egress fair queue refused",
	     NONE,
	     true,
	     SHAPED_IN,
	     {true, true, true, true, true, true, true, true, true, true,
	      false},
	     shaped_images(false, SHAPED_IN)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		make_ifb_device(c.ifb);
		ingress_in_force = c.ingress_qdisc;
		record_eth0_run(c.shaped, c.ingress, SHAPED_EG, c.answers);
		ingress_in_force = true;
		expect_same_requests(c.want);
		EXPECT_EQ(recorded_failures, c.failures);
		// One question for the IFB's one name, whatever else the
		// system has: no list of every device is read.
		if (c.ifb == NONE || !c.ingress_qdisc) {
			EXPECT_EQ(recorded_queries, c.ingress_qdisc ? 1 : 0);
		}
		remove_ifb_device();
	}
}

// --overhead 44 --mpu 64 --atm: cake counts from the network header once
// an overhead is set, so eth0's 14 bytes of header join the 44.
const cake_figures CAKE_IN_FRAMED = {2500000, 6, 1, 1, 58, 64, 1, false};
const cake_figures CAKE_EG_FRAMED = {12500000, 5, 0, 1, 58, 64, 1, false};
// 104000 and 105000 Kbit/s: 64 KiB take 5.04 and 4.99 ms.
const cake_figures CAKE_IN_SPLIT = {13000000, 6, 1, 1, 0, 0, 0, true};
const cake_figures CAKE_EG_WHOLE = {13125000, 5, 0, 0, 0, 0, 0, true};
std::vector<request_image>
cake_images(const run_order &order, const cake_figures &in = CAKE_IN,
	    const cake_figures &eg = CAKE_EG, uint32_t queues = 1)
{
	run_figures f = eth0_figures(true);
	f.cake[0] = in;
	f.cake[1] = eg;
	f.queues = queues;
	return run_images(order, f);
}

// What a --cake run finds in force, as its status read says.
status_view
in_force(bool egress_cake, bool ingress_cake, bool ifb_up)
{
	status_view v{};
	v.ifb = IFB;
	if (egress_cake) {
		v.egress.state = LIMIT_OWN;
		v.egress.how = &cake_kind;
	}
	if (ingress_cake) {
		v.ingress.state = LIMIT_OWN;
		v.ingress.how = &cake_kind;
		v.ingress.ifb_up = ifb_up;
	}
	return v;
}

struct cake_case {
	const char *what;
	device_state ifb;
	status_view now;
	bool framed;
	std::vector<bool> answers;
	std::vector<request_image> want;
	double ingress = SHAPED_IN, egress = SHAPED_EG;
};

TEST(CakeRequests, MadeAfterWhatWasThereOrChangedInPlace)
{
	const run_order made = order_of('c', false, 'n', 'n');
	const cake_case cases[] = {
	    {"nothing in force: the IFB made, each cake new", NONE,
	     in_force(false, false, false), false, {}, cake_images(made)},
	    {"framing goes into cake's own fields", NONE,
	     in_force(false, false, false), true, {},
	     cake_images(made, CAKE_IN_FRAMED, CAKE_EG_FRAMED)},
	    {"pondrel's cakes in force: each changed, nothing removed", OWN,
	     in_force(true, true, true), false, {},
	     cake_images(order_of('c', true, 'c', 'c'))},
	    {"the IFB down: ingress made again, egress changed", OWN,
	     in_force(true, true, false), false, {},
	     cake_images(order_of('c', true, 'n', 'c'))},
	    {"no sch_cake for the IFB: the IFB goes, egress still tried", NONE,
	     in_force(false, false, false), false,
	     {true, true, true, true, false},
	     cake_images({DEL_INGRESS, MAKE_IFB, MARK_IFB, DEL_IFB_ROOT,
			  IFB_CAKE, DEL_IFB, DEL_ROOT, CAKE})},
	    {"from 105000 Kbit/s a GSO packet goes whole", NONE,
	     in_force(false, false, false), false, {},
	     cake_images(made, CAKE_IN_SPLIT, CAKE_EG_WHOLE), 13000000.0,
	     13125000.0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		make_ifb_device(c.ifb);
		const link_terms terms = {
		    c.framed ? framing{44, 64, true} : framing{}, c.framed, 14,
		    TPS};
		record_eth0_run(true, c.ingress, c.egress, c.answers, c.now, true,
				terms);
		expect_same_requests(c.want);
		remove_ifb_device();
	}
}

// What a --cake run finds of cake_mq in force.
status_view
mq_in_force()
{
	status_view v = in_force(true, true, true);
	v.egress.how = v.ingress.how = &cake_mq_kind;
	return v;
}

struct queues_case {
	const char *what;
	unsigned queues;
	status_view now;
	std::vector<bool> answers;
	run_order order;
};

// A device of several queues takes cake_mq, its IFB made with as many; one
// queue, or a kernel that knows no cake_mq, takes cake, with nothing said.
TEST(CakeRequests, SeveralQueuesTakeCakeMq)
{
	const queues_case cases[] = {
	    {"four queues: cake_mq on both sides", 4,
	     in_force(false, false, false), {},
	     {DEL_INGRESS, MAKE_IFB, MARK_IFB, DEL_IFB_ROOT, IFB_CAKE_MQ,
	      INGRESS, REDIRECT, DEL_ROOT, CAKE_MQ}},
	    {"no cake_mq in the kernel: cake after it", 4,
	     in_force(false, false, false),
	     {true, true, true, true, false, true, true, true, true, false},
	     {DEL_INGRESS, MAKE_IFB, MARK_IFB, DEL_IFB_ROOT, IFB_CAKE_MQ,
	      IFB_CAKE, INGRESS, REDIRECT, DEL_ROOT, CAKE_MQ, CAKE}},
	    {"one queue: cake as ever", 1, in_force(false, false, false), {},
	     order_of('c', false, 'n', 'n')},
	    {"pondrel's cake_mq in force: changed in place", 4, mq_in_force(),
	     {}, {IFB_CAKE_MQ_CHANGE, CAKE_MQ_CHANGE}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		make_ifb_device(NONE);
		run &r = test_run(&cake_mode);
		r.tx_queues = r.rx_queues = c.queues;
		reset_recorder();
		answers = c.answers;
		configure_ingress(r, SHAPED_IN, c.now);
		configure_egress(r, SHAPED_EG, c.now);
		expect_same_requests(
		    cake_images(c.order, CAKE_IN, CAKE_EG, c.queues));
		EXPECT_EQ(r.nl.failed, 0);
		remove_ifb_device();
	}
}

struct cleanup_case {
	const char *what;
	device_state ifb;
	size_t refused; // the refused request's place in the shaped run
	unsigned created_index;
	run_order cleanup;
	int failures; // reported by the shaping code itself
};

TEST(ShapedRequests, RefusalsTakeDownWhatCameBefore)
{
	const cleanup_case cases[] = {
	    {"IFB not made", NONE, 1, IFB, {}, 0},
	    {"IFB made but gone before its mark", NONE, 1, 0, {}, 1},
	    {"mark refused", NONE, 2, IFB, {DEL_IFB}, 0},
	    {"own IFB's mark refused", OWN, 1, IFB, {DEL_IFB}, 0},
	    {"IFB's root removal failed", NONE, 3, IFB, {DEL_IFB}, 0},
	    {"tbf refused", NONE, 4, IFB, {DEL_IFB}, 0},
	    {"ingress qdisc refused", NONE, 6, IFB, {DEL_IFB}, 0},
	    {"redirect refused", NONE, 7, IFB, {DEL_INGRESS, DEL_IFB}, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		make_ifb_device(c.ifb);
		created_index = c.created_index;
		// What came before the refusal, its cleanup, then egress.
		const run_order run = order_of('s', c.ifb == OWN, 'n', 'n');
		run_order want(run.begin(), run.begin() + c.refused + 1);
		want.insert(want.end(), c.cleanup.begin(), c.cleanup.end());
		want.insert(want.end(), {DEL_ROOT, SHAPED_TBF, FQ});
		std::vector<bool> refusals(c.refused, true);
		// The gone device's creation was granted all the same.
		refusals.push_back(c.failures != 0);
		record_eth0_run(true, SHAPED_IN, SHAPED_EG, refusals);
		expect_same_requests(run_images(want, eth0_figures(true)));
		EXPECT_EQ(recorded_failures, c.failures);
		remove_ifb_device();
	}
}

struct burst_case {
	bool shaped;
	double rate;
	uint32_t burst, limit, buffer;
};

TEST(ShapedRequests, BucketIsFourMillisecondsAtTheRateAndNoLess)
{
	const burst_case cases[] = {
	    {true, 125000.0, 2048, 8298, 256000},
	    {true, 511999.0, 2048, 27647, 62500},
	    {true, 512250.0, 2049, 27661, 62500},
	    {true, 12500000.0, 50000, 675000, 62500},
	    {false, 12500000.0, 2048, 627048, 2560},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "rate " << c.rate
						<< (c.shaped ? " shaped" : ""));
		make_ifb_device(NONE);
		record_eth0_run(c.shaped, NO_LIMIT, c.rate, {});
		remove_ifb_device();
		// The shaped mode's fair queue follows its tbf.
		ASSERT_EQ(recorded.size(), c.shaped ? 4u : 3u);
		struct tc_tbf_qopt q;
		uint32_t burst;
		memcpy(&q, &recorded[2].body[36], sizeof(q));
		memcpy(&burst, &recorded[2].body[76], sizeof(burst));
		EXPECT_EQ(burst, c.burst);
		EXPECT_EQ(q.limit, c.limit);
		EXPECT_EQ(q.buffer, c.buffer);
	}
}

struct framing_case {
	const char *what;
	bool shaped;
	bool given; // any framing option on the command line
	struct framing framing;
	const char *type;  // eth0's type in sysfs; null: no entry
	const char *index; // eth0's index there
	framing_image want;
	// The policer's bucket at 6.25 ticks a byte: 10240 bytes, or more
	// where the framing makes each packet cost more on the link.
	uint32_t police_ticks = 64000;
};

TEST(FramedRequests, EveryRateRecordCarriesTheFraming)
{
	const framing_case cases[] = {
	    // The bucket: 10240 bytes, the overhead and the header, in 215
	    // cells of 53 bytes: 11395 bytes.
	    {"ATM on Ethernet: the policer counts the header too", false, true,
	     {44, 0, true}, "1", "5", {44, 0, true, 14}, 71218},
	    {"PPP has no header to add", false, true, {10, 64, false}, "512",
	     "5", {10, 64, false, 0}, 64062},
	    {"an overhead of 0 is given all the same", false, true,
	     {0, 0, false}, "1", "5", {0, 0, false, 14}, 64087},
	    // 10240 + 18 + 14 bytes in 214 cells: 11342 bytes.
	    {"no type to read: the header counted", false, true,
	     {18, 0, true}, nullptr, nullptr, {18, 0, true, 14}, 70887},
	    {"another namespace's device: the header counted", false, true,
	     {18, 0, true}, "512", "7", {18, 0, true, 14}, 70887},
	    // Each packet costs 20000 bytes: a bare bucket would hold none.
	    {"an mpu beyond the bucket: it holds one such packet", false, true,
	     {0, 20000, false}, "1", "5", {0, 20000, false, 14}, 125000},
	    {"no framing option: the records as always", false, false,
	     {0, 0, false}, "1", "5", {}},
	    {"shaped: both tbfs, nothing added", true, true, {44, 64, true},
	     "1", "5", {44, 64, true, 0}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		make_ifb_device(NONE);
		std::string dev = fake_sysfs + "/eth0";
		ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
		if (c.type != nullptr) {
			write_attr("eth0", "type", c.type);
			write_attr("eth0", "ifindex", c.index);
		}
		// As a run reads it, before its first request.
		const link_terms terms = {
		    c.framing, c.given,
		    uncounted_header(fake_sysfs.c_str(), "eth0", IFINDEX), TPS};
		record_eth0_run(c.shaped, SHAPED_IN, SHAPED_EG, {},
				nothing_in_force, false, terms);
		run_figures f = eth0_figures(c.shaped, c.want);
		f.police.ticks = c.police_ticks;
		expect_same_requests(run_images(
		    order_of(c.shaped ? 's' : 'p', false, 'n', 'n'), f));
		unlink((dev + "/type").c_str());
		unlink((dev + "/ifindex").c_str());
		rmdir(dev.c_str());
		remove_ifb_device();
	}
}

struct fair_queue_case {
	uint32_t rate;
	fair_queue_figures want;
};

// Target, interval, packets, bytes: a full frame's time sets the target at
// slow rates, a quarter second of the rate the memory.
TEST(FairQueue, FitsTheRate)
{
	const fair_queue_case cases[] = {
	    {0, {10000, 200000, 128, 131072}},
	    {125000, {12112, 202112, 128, 131072}},
	    {151400, {10000, 200000, 128, 131072}},
	    {151399, {10001, 200001, 128, 131072}},
	    {1250000, {10000, 200000, 305, 312500}},
	    {12500000, {10000, 200000, 3051, 3125000}},
	    {125000000, {10000, 200000, 4096, 4194304}},
	    {4294967295u, {10000, 200000, 4096, 4194304}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "rate " << c.rate);
		run &r = test_run(&shaped_mode);
		reset_recorder();
		const shaper at = {IFINDEX, (double)c.rate, false, true, false,
				   1};
		EXPECT_EQ(fq_codel_kind.build(r.nl, r.terms, at), built::done);
		ASSERT_EQ(recorded.size(), 1u);
		run_figures f = eth0_figures(true);
		f.fq[1] = c.want;
		EXPECT_EQ(recorded[0].body, run_images({FQ}, f)[0].body);
	}
}

TEST(IfbName, FitsInFifteenBytesAndTellsLongNamesApart)
{
	const char *longer[] = {"abcdefghijkl", "enp0s20f0u1u1", "enp0s20f0u1u2",
				"enp0s20f0u1u1c2", "enp0s20f0u1u2c2"};
	char name[IFNAMSIZ];
	std::vector<std::string> seen;

	ifb_name("abcdefghijk", name);
	EXPECT_STREQ(name, "ifb-abcdefghijk");
	ifb_name("eth0", name);
	EXPECT_STREQ(name, "ifb-eth0");
	for (const char *iface : longer) {
		SCOPED_TRACE(iface);
		ifb_name(iface, name);
		ASSERT_EQ(strlen(name), 15u);
		EXPECT_EQ(std::string(name, 10),
			  "ifb-" + std::string(iface, 5) + "-");
		for (int i = 10; i < 15; i++)
			EXPECT_TRUE(isxdigit((unsigned char)name[i])) << name;
		for (const auto &other : seen)
			EXPECT_NE(other, name);
		seen.push_back(name);
	}
}

} // namespace
