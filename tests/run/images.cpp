#include "tests/run/images.h"

#include <math.h>
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
ifinfomsg_image(int ifindex, unsigned int up)
{
	struct ifinfomsg i;
	memset(&i, 0, sizeof(i));
	i.ifi_family = AF_UNSPEC;
	i.ifi_index = ifindex;
	i.ifi_flags = up;
	i.ifi_change = up;
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

// Ticks to send size bytes at rate, the quotient first as the kernel's
// tables count them; anything out of range is 0.
uint32_t
ticks(double size, uint32_t rate, double tps)
{
	double t = size / rate * tps;
	if (!isfinite(t) || fabs(t) >= 9.2e18)
		return 0;
	return static_cast<uint32_t>(static_cast<int64_t>(t));
}

// As iproute2 fills it: each size at least the minimum unit, in whole ATM
// cells on ATM; the kernel adds the overhead before it looks up.
void
rate_table_image(uint32_t table[256], uint32_t rate, double tps,
		 const framing_image &f)
{
	for (int i = 0; i < 256; i++) {
		uint32_t size = 8 * (i + 1);
		if (size < f.mpu)
			size = f.mpu;
		if (f.atm)
			size = (size + 47) / 48 * 53;
		table[i] = ticks(size, rate, tps);
	}
}

} // namespace

request_image
removal_image(int ifindex, uint32_t parent, uint32_t handle)
{
	return {RTM_DELQDISC, 0, true, tcmsg_image(ifindex, parent, handle, 0)};
}

request_image
ingress_qdisc_image(int ifindex)
{
	request_image r = {RTM_NEWQDISC, CREATE, false,
			   tcmsg_image(ifindex, TC_H_INGRESS, 0xFFFF0000u, 0)};
	put_attr(r.body, TCA_KIND, "ingress", 8);
	return r;
}

request_image
police_filter_image(int ifindex, police_figures fig, double tps,
		    const framing_image &f)
{
	uint32_t info = TC_H_MAKE(0, htons(ETH_P_ALL));
	request_image r = {RTM_NEWTFILTER, CREATE, false,
			   tcmsg_image(ifindex, 0xFFFF0000u, 0, info)};
	struct tc_police p;
	uint32_t table[256];

	memset(&p, 0, sizeof(p));
	p.action = TC_POLICE_SHOT;
	p.burst = fig.ticks;
	p.rate = ratespec(fig.rate, f, f.policer_header);
	rate_table_image(table, fig.rate, tps, f);

	put_attr(r.body, TCA_KIND, "basic", 6);
	size_t options = begin_nest(r.body, TCA_OPTIONS);
	size_t police = begin_nest(r.body, TCA_BASIC_POLICE);
	put_attr(r.body, TCA_POLICE_TBF, &p, sizeof(p));
	put_attr(r.body, TCA_POLICE_RATE, table, sizeof(table));
	end_nest(r.body, police);
	end_nest(r.body, options);
	return r;
}

request_image
tbf_image(int ifindex, uint32_t handle, tbf_figures t, double tps,
	  const framing_image &f)
{
	request_image r = {RTM_NEWQDISC, CREATE, false,
			   tcmsg_image(ifindex, TC_H_ROOT, handle, 0)};
	struct tc_tbf_qopt q;
	uint32_t table[256];

	memset(&q, 0, sizeof(q));
	q.rate = ratespec(t.rate, f, 0);
	q.limit = t.limit;
	q.buffer = t.ticks;
	rate_table_image(table, t.rate, tps, f);

	put_attr(r.body, TCA_KIND, "tbf", 4);
	size_t options = begin_nest(r.body, TCA_OPTIONS);
	put_attr(r.body, TCA_TBF_PARMS, &q, sizeof(q));
	put_attr(r.body, TCA_TBF_BURST, &t.burst, sizeof(t.burst));
	put_attr(r.body, TCA_TBF_RTAB, table, sizeof(table));
	end_nest(r.body, options);
	return r;
}

request_image
fair_queue_image(int ifindex, fair_queue_figures q)
{
	request_image r = {RTM_NEWQDISC, CREATE, false,
			   tcmsg_image(ifindex, 0x10001, 0x20000, 0)};
	uint32_t ecn = 1;

	put_attr(r.body, TCA_KIND, "fq_codel", 9);
	size_t options = begin_nest(r.body, TCA_OPTIONS);
	put_attr(r.body, TCA_FQ_CODEL_TARGET, &q.target, 4);
	put_attr(r.body, TCA_FQ_CODEL_LIMIT, &q.limit, 4);
	put_attr(r.body, TCA_FQ_CODEL_INTERVAL, &q.interval, 4);
	put_attr(r.body, TCA_FQ_CODEL_ECN, &ecn, 4);
	put_attr(r.body, TCA_FQ_CODEL_MEMORY_LIMIT, &q.memory, 4);
	end_nest(r.body, options);
	return r;
}

std::vector<request_image>
run_images(int ifindex, const police_figures *in, const tbf_figures *eg,
	   double tps, const framing_image &f)
{
	std::vector<request_image> run;
	run.push_back(removal_image(ifindex, TC_H_INGRESS, 0xFFFF0000u));
	if (in != nullptr) {
		run.push_back(ingress_qdisc_image(ifindex));
		run.push_back(police_filter_image(ifindex, *in, tps, f));
	}
	run.push_back(removal_image(ifindex, TC_H_ROOT, 0));
	if (eg != nullptr)
		run.push_back(tbf_image(ifindex, 0, *eg, tps, f));
	return run;
}
request_image
ifb_create_image(const char *name, const uint8_t address[6], uint32_t queues)
{
	request_image r = {RTM_NEWLINK, CREATE, false, ifinfomsg_image(0, 0)};
	put_string(r.body, IFLA_IFNAME, name);
	put_attr(r.body, IFLA_ADDRESS, address, 6);
	if (queues > 1)
		put_attr(r.body, IFLA_NUM_TX_QUEUES, &queues, sizeof(queues));
	size_t info = begin_nest(r.body, IFLA_LINKINFO);
	put_string(r.body, IFLA_INFO_KIND, "ifb");
	end_nest(r.body, info);
	return r;
}

request_image
ifb_mark_image(int ifb, const char *iface)
{
	request_image r = {RTM_NEWLINK, 0, false, ifinfomsg_image(ifb, IFF_UP)};
	std::string mark = std::string("pondrel ingress of ") + iface;
	put_string(r.body, IFLA_IFALIAS, mark.c_str());
	return r;
}

request_image
ifb_delete_image(int ifb)
{
	return {RTM_DELLINK, 0, false, ifinfomsg_image(ifb, 0)};
}

request_image
redirect_filter_image(int ifindex, int ifb)
{
	uint32_t info = TC_H_MAKE(0, htons(ETH_P_ALL));
	request_image r = {RTM_NEWTFILTER, CREATE, false,
			   tcmsg_image(ifindex, 0xFFFF0000u, 0, info)};
	struct tc_mirred m;

	memset(&m, 0, sizeof(m));
	m.action = TC_ACT_STOLEN;
	m.eaction = TCA_EGRESS_REDIR;
	m.ifindex = static_cast<uint32_t>(ifb);

	put_attr(r.body, TCA_KIND, "basic", 6);
	size_t options = begin_nest(r.body, TCA_OPTIONS);
	size_t actions = begin_nest(r.body, TCA_BASIC_ACT);
	size_t first = begin_nest(r.body, 1);
	put_string(r.body, TCA_ACT_KIND, "mirred");
	size_t action_options = begin_nest(r.body, TCA_ACT_OPTIONS);
	put_attr(r.body, TCA_MIRRED_PARMS, &m, sizeof(m));
	end_nest(r.body, action_options);
	end_nest(r.body, first);
	end_nest(r.body, actions);
	end_nest(r.body, options);
	return r;
}

request_image
cake_image(int ifindex, uint16_t flags, cake_figures c, const char *kind)
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
	request_image r = {RTM_NEWQDISC, flags, false,
			   tcmsg_image(ifindex, TC_H_ROOT, 0x10000, 0)};
	put_attr(r.body, TCA_KIND, kind, strlen(kind) + 1);
	size_t options = begin_nest(r.body, TCA_OPTIONS);
	put_attr(r.body, TCA_CAKE_BASE_RATE64, &c.rate, sizeof(c.rate));
	for (const auto &w : words)
		put_attr(r.body, static_cast<uint16_t>(w[0]), &w[1], 4);
	put_attr(r.body, TCA_CAKE_OVERHEAD, &c.overhead, sizeof(c.overhead));
	const uint32_t one = 1;
	if (c.raw)
		put_attr(r.body, TCA_CAKE_RAW, &one, sizeof(one));
	end_nest(r.body, options);
	return r;
}

std::vector<request_image>
shaped_run_images(int ifindex, const char *iface, const char *ifb_name,
		  const uint8_t address[6], int ifb, bool ifb_existed,
		  const shaper_figures *in, const shaper_figures *eg,
		  double tps, const framing_image &f)
{
	std::vector<request_image> run;
	run.push_back(removal_image(ifindex, TC_H_INGRESS, 0xFFFF0000u));
	if (in != nullptr) {
		if (!ifb_existed)
			run.push_back(ifb_create_image(ifb_name, address));
		run.push_back(ifb_mark_image(ifb, iface));
		run.push_back(removal_image(ifb, TC_H_ROOT, 0));
		run.push_back(tbf_image(ifb, 0x10000, in->tbf, tps, f));
		run.push_back(fair_queue_image(ifb, in->fq));
		run.push_back(ingress_qdisc_image(ifindex));
		run.push_back(redirect_filter_image(ifindex, ifb));
	} else if (ifb_existed) {
		run.push_back(ifb_delete_image(ifb));
	}
	run.push_back(removal_image(ifindex, TC_H_ROOT, 0));
	if (eg != nullptr) {
		run.push_back(tbf_image(ifindex, 0x10000, eg->tbf, tps, f));
		run.push_back(fair_queue_image(ifindex, eg->fq));
	}
	return run;
}

std::vector<request_image>
cake_run_images(int ifindex, const char *iface, const char *ifb_name,
		const uint8_t address[6], int ifb, bool ifb_existed,
		cake_direction in, cake_direction eg)
{
	std::vector<request_image> run;
	if (in.figures != nullptr && in.change) {
		run.push_back(cake_image(ifb, 0, *in.figures));
	} else {
		run.push_back(removal_image(ifindex, TC_H_INGRESS, 0xFFFF0000u));
		if (in.figures != nullptr) {
			if (!ifb_existed)
				run.push_back(ifb_create_image(ifb_name, address));
			run.push_back(ifb_mark_image(ifb, iface));
			run.push_back(removal_image(ifb, TC_H_ROOT, 0));
			run.push_back(cake_image(ifb, CREATE, *in.figures));
			run.push_back(ingress_qdisc_image(ifindex));
			run.push_back(redirect_filter_image(ifindex, ifb));
		} else if (ifb_existed) {
			run.push_back(ifb_delete_image(ifb));
		}
	}
	if (eg.figures != nullptr && eg.change) {
		run.push_back(cake_image(ifindex, 0, *eg.figures));
		return run;
	}
	run.push_back(removal_image(ifindex, TC_H_ROOT, 0));
	if (eg.figures != nullptr)
		run.push_back(cake_image(ifindex, CREATE, *eg.figures));
	return run;
}
