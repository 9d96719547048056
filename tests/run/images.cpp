#include "tests/run/images.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <arpa/inet.h>
#include <net/if.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

namespace {

const int CREATE = NLM_F_CREATE | NLM_F_EXCL;
const uint16_t NEWQ = RTM_NEWQDISC, DELQ = RTM_DELQDISC, NEWF = RTM_NEWTFILTER;
const uint32_t ROOT = TC_H_ROOT, INQ = TC_H_INGRESS, INGRESS_H = 0xFFFF0000u;

void
append(byte_image &img, const void *data, size_t len)
{
	const uint8_t *p = static_cast<const uint8_t *>(data);
	img.insert(img.end(), p, p + len);
	while (img.size() % 4 != 0)
		img.push_back(0);
}

void
put_attr(byte_image &img, uint16_t type, const void *data, size_t len)
{
	struct nlattr hdr = {static_cast<uint16_t>(4 + len), type};
	append(img, &hdr, sizeof(hdr));
	append(img, data, len);
}

size_t
begin_nest(byte_image &img, uint16_t type)
{
	size_t at = img.size();
	put_attr(img, type, nullptr, 0);
	return at;
}

void
end_nest(byte_image &img, size_t at)
{
	uint16_t len = static_cast<uint16_t>(img.size() - at);
	memcpy(&img[at], &len, sizeof(len));
}

byte_image
tcmsg_image(int ifindex, uint32_t parent, uint32_t handle, uint32_t info)
{
	struct tcmsg t;
	memset(&t, 0, sizeof(t));
	t.tcm_family = AF_UNSPEC;
	t.tcm_ifindex = ifindex;
	t.tcm_parent = parent;
	t.tcm_handle = handle;
	t.tcm_info = info;
	byte_image img;
	append(img, &t, sizeof(t));
	return img;
}

byte_image
ifinfomsg_image(int ifindex, bool up)
{
	struct ifinfomsg i;
	memset(&i, 0, sizeof(i));
	i.ifi_family = AF_UNSPEC;
	i.ifi_index = ifindex;
	i.ifi_flags = i.ifi_change = up ? IFF_UP : 0;
	byte_image img;
	append(img, &i, sizeof(i));
	return img;
}

void
put_string(byte_image &img, uint16_t type, const char *s)
{
	put_attr(img, type, s, strlen(s) + 1);
}

struct tc_ratespec
ratespec(uint32_t rate, const framing_image &f, uint16_t header)
{
	struct tc_ratespec r;
	memset(&r, 0, sizeof(r));
	r.cell_log = 3;
	r.linklayer = f.atm ? TC_LINKLAYER_ATM : TC_LINKLAYER_ETHERNET;
	r.overhead = static_cast<uint16_t>(f.overhead + header);
	r.mpu = f.mpu;
	r.cell_align = -1;
	r.rate = rate;
	return r;
}

// The ends of every rate table that the tests send, entries 0 and 255 (8
// and 2048 bytes, or the mpu, in 53-byte cells for 48 on ATM) at 64 ns
// ticks: known answers, a byte's ticks times the bytes. The entries
// between are the rate table's own tests' (quotient first, the ATM and mpu
// steps) and are not compared here; the overhead does not enter a table,
// as the kernel adds it before the lookup.
const struct {
	uint32_t rate;
	uint16_t mpu;
	bool atm;
	uint32_t first, last;
} TABLE_ENDS[] = {
    {0, 0, false, 0, 0},
    {62, 0, false, 2016129, 516129032},
    {125000, 0, false, 1000, 256000},
    {250000, 0, false, 500, 128000},
    {256019, 0, false, 488, 124990},
    {375000, 0, false, 333, 85333},
    {625000, 0, false, 200, 51200},
    {625000, 64, true, 2650, 56975},
    {1250000, 0, false, 100, 25600},
    {1250000, 0, true, 662, 28487},
    {1250000, 64, true, 1325, 28487},
    {2500000, 0, false, 50, 12800},
    {2500000, 0, true, 331, 14243},
    {2500000, 64, false, 400, 12800},
    {2500000, 64, true, 662, 14243},
    {2500000, 20000, false, 125000, 125000},
    {12500000, 0, false, 10, 2560},
    {12500000, 0, true, 66, 2848},
    {12500000, 64, false, 80, 2560},
    {12500000, 64, true, 132, 2848},
    {12500000, 20000, false, 25000, 25000},
    {4294967250u, 0, false, 0, 7},
};

// The rate table's attribute with its known ends; the entries between are
// left to the comparison to take as sent. A table that no row states ends
// the tests here, where it is plain which figures lack it.
void
put_rate_table(request_image &r, uint16_t type, uint32_t rate, double tps,
	       const framing_image &f)
{
	uint32_t table[256] = {};
	bool known = false;
	for (const auto &e : TABLE_ENDS)
		if (e.rate == rate && e.mpu == f.mpu && e.atm == f.atm) {
			table[0] = e.first;
			table[255] = e.last;
			known = true;
		}
	if (!known || tps != 15625000.0) {
		fprintf(stderr,
			"images: no known rate table for %u bytes/s, "
			"mpu %u%s at %.0f ticks/s\n",
			rate, f.mpu, f.atm ? ", ATM" : "", tps);
		abort();
	}
	put_attr(r.body, type, table, sizeof(table));
	r.unchecked.push_back({r.body.size() - 254 * 4 - 4, 254 * 4});
}

void
police_options(request_image &r, const run_figures &fig)
{
	struct tc_police p;
	byte_image &body = r.body;

	memset(&p, 0, sizeof(p));
	p.action = TC_POLICE_SHOT;
	p.burst = fig.police.ticks;
	p.rate =
	    ratespec(fig.police.rate, fig.framing, fig.framing.policer_header);

	put_attr(body, TCA_KIND, "basic", 6);
	size_t options = begin_nest(body, TCA_OPTIONS);
	size_t police = begin_nest(body, TCA_BASIC_POLICE);
	put_attr(body, TCA_POLICE_TBF, &p, sizeof(p));
	put_rate_table(r, TCA_POLICE_RATE, fig.police.rate, fig.tps,
		       fig.framing);
	end_nest(body, police);
	end_nest(body, options);
}

void
tbf_options(request_image &r, const tbf_figures &t, const run_figures &fig)
{
	struct tc_tbf_qopt q;
	byte_image &body = r.body;

	memset(&q, 0, sizeof(q));
	q.rate = ratespec(t.rate, fig.framing, 0);
	q.limit = t.limit;
	q.buffer = t.ticks;

	put_attr(body, TCA_KIND, "tbf", 4);
	size_t options = begin_nest(body, TCA_OPTIONS);
	put_attr(body, TCA_TBF_PARMS, &q, sizeof(q));
	put_attr(body, TCA_TBF_BURST, &t.burst, sizeof(t.burst));
	put_rate_table(r, TCA_TBF_RTAB, t.rate, fig.tps, fig.framing);
	end_nest(body, options);
}

void
fair_queue_options(byte_image &body, const fair_queue_figures &q)
{
	uint32_t ecn = 1;

	put_attr(body, TCA_KIND, "fq_codel", 9);
	size_t options = begin_nest(body, TCA_OPTIONS);
	put_attr(body, TCA_FQ_CODEL_TARGET, &q.target, 4);
	put_attr(body, TCA_FQ_CODEL_LIMIT, &q.limit, 4);
	put_attr(body, TCA_FQ_CODEL_INTERVAL, &q.interval, 4);
	put_attr(body, TCA_FQ_CODEL_ECN, &ecn, 4);
	put_attr(body, TCA_FQ_CODEL_MEMORY_LIMIT, &q.memory, 4);
	end_nest(body, options);
}

void
cake_options(byte_image &body, const cake_figures &c, const char *kind)
{
	// diffserv3 (0) and an rtt of 100 ms are cake's defaults, sent so that
	// a change puts them back; nat is on.
	const uint32_t words[][2] = {{TCA_CAKE_DIFFSERV_MODE, 0},
				     {TCA_CAKE_FLOW_MODE, c.isolation},
				     {TCA_CAKE_NAT, 1},
				     {TCA_CAKE_INGRESS, c.ingress},
				     {TCA_CAKE_RTT, 100000},
				     {TCA_CAKE_SPLIT_GSO, c.split_gso},
				     {TCA_CAKE_ATM, c.atm},
				     {TCA_CAKE_MPU, c.mpu}};
	put_attr(body, TCA_KIND, kind, strlen(kind) + 1);
	size_t options = begin_nest(body, TCA_OPTIONS);
	put_attr(body, TCA_CAKE_BASE_RATE64, &c.rate, sizeof(c.rate));
	for (const auto &w : words)
		put_attr(body, static_cast<uint16_t>(w[0]), &w[1], 4);
	put_attr(body, TCA_CAKE_OVERHEAD, &c.overhead, sizeof(c.overhead));
	const uint32_t one = 1;
	if (c.raw)
		put_attr(body, TCA_CAKE_RAW, &one, sizeof(one));
	end_nest(body, options);
}

// The filter that sends every arriving packet on to the IFB.
void
redirect_options(byte_image &body, int ifb)
{
	struct tc_mirred m;

	memset(&m, 0, sizeof(m));
	m.action = TC_ACT_STOLEN;
	m.eaction = TCA_EGRESS_REDIR;
	m.ifindex = static_cast<uint32_t>(ifb);

	put_attr(body, TCA_KIND, "basic", 6);
	size_t options = begin_nest(body, TCA_OPTIONS);
	size_t actions = begin_nest(body, TCA_BASIC_ACT);
	size_t first = begin_nest(body, 1);
	put_string(body, TCA_ACT_KIND, "mirred");
	size_t action_options = begin_nest(body, TCA_ACT_OPTIONS);
	put_attr(body, TCA_MIRRED_PARMS, &m, sizeof(m));
	end_nest(body, action_options);
	end_nest(body, first);
	end_nest(body, actions);
	end_nest(body, options);
}

// The IFB made with the address that it is born with, its transmit queues
// sent only where more than one; then marked as the interface's and up.
void
link_options(byte_image &body, const std::string &kind, const run_figures &f)
{
	if (kind == "mark") {
		std::string mark = std::string("pondrel ingress of ") + f.iface;
		put_string(body, IFLA_IFALIAS, mark.c_str());
	} else if (kind == "ifb") {
		put_string(body, IFLA_IFNAME, f.ifb_name);
		put_attr(body, IFLA_ADDRESS, f.address, 6);
		if (f.queues > 1)
			put_attr(body, IFLA_NUM_TX_QUEUES, &f.queues,
				 sizeof(f.queues));
		size_t info = begin_nest(body, IFLA_LINKINFO);
		put_string(body, IFLA_INFO_KIND, "ifb");
		end_nest(body, info);
	}
}

} // namespace

// The parents and handles that the kernel knows each qdisc by: the
// ingress qdisc as ffff:, the shaped mode's tbf and cake as 1: and the
// fair queue as 2: in 1:1; a filter's parent is ffff:.
const step DEL_INGRESS = {DELQ, 0, true, 'i', INQ, INGRESS_H, ""};
const step INGRESS = {NEWQ, CREATE, false, 'i', INQ, INGRESS_H, "ingress"};
const step POLICE = {NEWF, CREATE, false, 'i', INGRESS_H, 0, "police"};
const step DEL_ROOT = {DELQ, 0, true, 'i', ROOT, 0, ""};
const step TBF = {NEWQ, CREATE, false, 'i', ROOT, 0, "tbf"};
const step SHAPED_TBF = {NEWQ, CREATE, false, 'i', ROOT, 0x10000, "tbf"};
const step FQ = {NEWQ, CREATE, false, 'i', 0x10001, 0x20000, "fq_codel"};
const step MAKE_IFB = {RTM_NEWLINK, CREATE, false, 'n', 0, 0, "ifb"};
const step MARK_IFB = {RTM_NEWLINK, 0, false, 'b', 0, 0, "mark"};
const step DEL_IFB = {RTM_DELLINK, 0, false, 'b', 0, 0, ""};
const step DEL_IFB_ROOT = {DELQ, 0, true, 'b', ROOT, 0, ""};
const step IFB_TBF = {NEWQ, CREATE, false, 'b', ROOT, 0x10000, "tbf"};
const step IFB_FQ = {NEWQ, CREATE, false, 'b', 0x10001, 0x20000, "fq_codel"};
const step REDIRECT = {NEWF, CREATE, false, 'i', INGRESS_H, 0, "mirred"};
const step CAKE = {NEWQ, CREATE, false, 'i', ROOT, 0x10000, "cake"};
const step CAKE_CHANGE = {NEWQ, 0, false, 'i', ROOT, 0x10000, "cake"};
const step IFB_CAKE = {NEWQ, CREATE, false, 'b', ROOT, 0x10000, "cake"};
const step IFB_CAKE_CHANGE = {NEWQ, 0, false, 'b', ROOT, 0x10000, "cake"};
const step CAKE_MQ = {NEWQ, CREATE, false, 'i', ROOT, 0x10000, "cake_mq"};
const step CAKE_MQ_CHANGE = {NEWQ, 0, false, 'i', ROOT, 0x10000, "cake_mq"};
const step IFB_CAKE_MQ = {NEWQ, CREATE, false, 'b', ROOT, 0x10000, "cake_mq"};
const step IFB_CAKE_MQ_CHANGE = {NEWQ, 0, false, 'b', ROOT, 0x10000, "cake_mq"};

namespace {

// The orders that the tool's runs are known to take, case by case: the
// mode ('p' plain, 's' --shape, 'c' --cake), whether the interface's own
// IFB was there before, and what each direction gets ('-' no limit, 'n' a
// new one, 'c' cake changed in place).
struct order_key {
	char mode;
	bool ifb;
	char in, eg;
};
const struct {
	order_key key;
	run_order order;
} ORDERS[] = {
    {{'p', false, 'n', 'n'}, {DEL_INGRESS, INGRESS, POLICE, DEL_ROOT, TBF}},
    {{'p', false, 'n', '-'}, {DEL_INGRESS, INGRESS, POLICE, DEL_ROOT}},
    {{'p', false, '-', 'n'}, {DEL_INGRESS, DEL_ROOT, TBF}},
    {{'p', false, '-', '-'}, {DEL_INGRESS, DEL_ROOT}},
    // A plain run takes down the IFB that a shaped one left.
    {{'p', true, 'n', 'n'},
     {DEL_INGRESS, DEL_IFB, INGRESS, POLICE, DEL_ROOT, TBF}},
    {{'p', true, '-', 'n'}, {DEL_INGRESS, DEL_IFB, DEL_ROOT, TBF}},
    {{'s', false, 'n', 'n'},
     {DEL_INGRESS, MAKE_IFB, MARK_IFB, DEL_IFB_ROOT, IFB_TBF, IFB_FQ, INGRESS,
      REDIRECT, DEL_ROOT, SHAPED_TBF, FQ}},
    {{'s', true, 'n', 'n'},
     {DEL_INGRESS, MARK_IFB, DEL_IFB_ROOT, IFB_TBF, IFB_FQ, INGRESS, REDIRECT,
      DEL_ROOT, SHAPED_TBF, FQ}},
    {{'s', false, '-', 'n'}, {DEL_INGRESS, DEL_ROOT, SHAPED_TBF, FQ}},
    {{'s', true, '-', 'n'}, {DEL_INGRESS, DEL_IFB, DEL_ROOT, SHAPED_TBF, FQ}},
    {{'s', false, '-', '-'}, {DEL_INGRESS, DEL_ROOT}},
    {{'c', false, 'n', 'n'},
     {DEL_INGRESS, MAKE_IFB, MARK_IFB, DEL_IFB_ROOT, IFB_CAKE, INGRESS,
      REDIRECT, DEL_ROOT, CAKE}},
    {{'c', true, 'n', 'n'},
     {DEL_INGRESS, MARK_IFB, DEL_IFB_ROOT, IFB_CAKE, INGRESS, REDIRECT,
      DEL_ROOT, CAKE}},
    // Only a cake of pondrel's found in force is changed, in one request.
    {{'c', true, 'c', 'c'}, {IFB_CAKE_CHANGE, CAKE_CHANGE}},
    {{'c', true, 'n', 'c'},
     {DEL_INGRESS, MARK_IFB, DEL_IFB_ROOT, IFB_CAKE, INGRESS, REDIRECT,
      CAKE_CHANGE}},
    {{'c', true, '-', 'c'}, {DEL_INGRESS, DEL_IFB, CAKE_CHANGE}},
};

} // namespace

std::vector<request_image>
run_images(const run_order &order, const run_figures &f)
{
	std::vector<request_image> run;
	for (const step &row : order) {
		const std::string kind = row.kind;
		const int on = row.device == 'b' ? 0 : 1;
		const int index = row.device == 'i'   ? f.ifindex
				  : row.device == 'b' ? f.ifb
						      : 0;
		request_image r = {row.type, row.flags, row.tolerant, {}, {}};
		if (row.type == RTM_NEWLINK || row.type == RTM_DELLINK) {
			r.body = ifinfomsg_image(index, kind == "mark");
			link_options(r.body, kind, f);
			run.push_back(r);
			continue;
		}
		// Filters match every protocol, in network order.
		const uint32_t info = row.type == RTM_NEWTFILTER
					  ? TC_H_MAKE(0, htons(ETH_P_ALL))
					  : 0;
		r.body = tcmsg_image(index, row.parent, row.handle, info);
		if (kind == "ingress")
			put_attr(r.body, TCA_KIND, "ingress", 8);
		else if (kind == "police")
			police_options(r, f);
		else if (kind == "mirred")
			redirect_options(r.body, f.ifb);
		else if (kind == "tbf")
			tbf_options(r, f.tbf[on], f);
		else if (kind == "fq_codel")
			fair_queue_options(r.body, f.fq[on]);
		else if (kind != "")
			cake_options(r.body, f.cake[on], row.kind);
		run.push_back(r);
	}
	return run;
}

byte_image
as_compared(const request_image &want, const byte_image &got)
{
	byte_image body = want.body;
	if (got.size() == body.size())
		for (const auto &u : want.unchecked)
			memcpy(&body[u.first], &got[u.first], u.second);
	return body;
}

const run_order *
known_order(char mode, bool ifb, char in, char eg)
{
	for (const auto &c : ORDERS)
		if (c.key.mode == mode && c.key.ifb == ifb && c.key.in == in &&
		    c.key.eg == eg)
			return &c.order;
	return nullptr;
}
