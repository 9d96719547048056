/*
 * Reading back what holds each direction: the dumped qdiscs and ingress
 * filters, judged against what pondrel itself sends. Anything pondrel would
 * never have sent is named by its kind and claimed by nobody.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <arpa/inet.h>
#include <linux/gen_stats.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include "shaping.h"
#include "../netlink/netlink.h"

struct limit_status egress_status, ingress_status;
int status_ifb;
char status_ifb_name[IFNAMSIZ];

/* The ingress side, gathered over two dumps and judged after both. */
static struct limit_status ifb_root;
static char ingress_qdisc[16];
static int ingress_filters;
static bool redirected;

#define BIT(n) (1U << (n))

/* An attribute copied into a struct; what it lacks reads as zero. */
static void
copy_attr(struct nlattr *attr, void *to, int size)
{
	memset(to, 0, size);
	if (attr != NULL)
		memcpy(to, nla_data(attr),
		       nla_len(attr) < size ? nla_len(attr) : size);
}

static void
copy_kind(struct limit_status *s, struct nlattr *kind, const char *prefix)
{
	char name[16];

	copy_attr(kind, name, sizeof(name) - 1);
	name[sizeof(name) - 1] = '\0';
	snprintf(s->kind, sizeof(s->kind), "%s%s", prefix, name);
}

/* True when no attribute is present outside the allowed set. */
static bool
only(struct nlattr **tb, int max, unsigned int allowed)
{
	int i;

	for (i = 1; i <= max; i++)
		if (tb[i] != NULL && !(allowed & BIT(i)))
			return false;
	return true;
}

/*
 * Counters from the statistics nest, 64-bit bytes and packets where the
 * kernel gives them, else from the fixed struct older dumps carry.
 */
static void
read_counters(struct nlattr *stats2, struct nlattr *old, struct limit_status *s)
{
	struct nlattr *tb[TCA_STATS_MAX + 1];
	struct gnet_stats_basic basic;
	struct gnet_stats_queue queue;
	struct tc_stats compat;

	if (stats2 != NULL &&
	    nla_parse_nested(tb, TCA_STATS_MAX, stats2, NULL) == 0 &&
	    tb[TCA_STATS_BASIC] != NULL) {
		copy_attr(tb[TCA_STATS_BASIC], &basic, sizeof(basic));
		copy_attr(tb[TCA_STATS_QUEUE], &queue, sizeof(queue));
		s->bytes = basic.bytes;
		s->packets = basic.packets;
		if (tb[TCA_STATS_PKT64] != NULL)
			copy_attr(tb[TCA_STATS_PKT64], &s->packets,
				  sizeof(s->packets));
		s->drops = queue.drops;
		s->overlimits = queue.overlimits;
		s->backlog = queue.backlog;
		s->qlen = queue.qlen;
	} else if (old != NULL) {
		copy_attr(old, &compat, sizeof(compat));
		s->bytes = compat.bytes;
		s->packets = compat.packets;
		s->drops = compat.drops;
		s->overlimits = compat.overlimits;
		s->backlog = compat.backlog;
		s->qlen = compat.qlen;
	} else {
		return;
	}
	s->counted = true;
}

/* pondrel's rates carry no overhead, no minimum unit and no 64-bit part. */
static bool
plain_rate(const struct tc_ratespec *r)
{
	return r->overhead == 0 && r->mpu == 0;
}

/* The bucket in bytes from the ticks it lasts at the rate. */
static double
bucket_bytes(uint32_t ticks, uint32_t rate, uint32_t nominal)
{
	return rate != 0 ? (double)ticks * rate / ticks_per_second
			 : (double)nominal;
}

/* The C library's fabs would bring in libm for this one use. */
static double
distance(double a, double b)
{
	return a > b ? a - b : b - a;
}

/* How far a bucket kept in whole ticks may stray: a byte, or a tick. */
static double
tick_bytes(uint32_t rate)
{
	return 1 + rate / ticks_per_second;
}

/*
 * A tbf is pondrel's when its bucket is one of the two that pondrel sizes,
 * 2048 bytes or what the rate sends in 1 ms, and its queue is 50 ms of the
 * rate on top; the bucket within what one tick carries, as the kernel
 * keeps it in time.
 */
static void
decode_tbf(struct nlattr *options, struct limit_status *s)
{
	struct nlattr *tb[TCA_TBF_MAX + 1];
	struct tc_tbf_qopt q;
	double got, rule;
	int i;

	if (options == NULL ||
	    nla_parse_nested(tb, TCA_TBF_MAX, options, NULL) != 0 ||
	    tb[TCA_TBF_PARMS] == NULL)
		return;
	copy_attr(tb[TCA_TBF_PARMS], &q, sizeof(q));
	s->rate = q.rate.rate;
	s->queue = q.limit;
	/* In whole microseconds, worked out in the order iproute2 does. */
	if (q.rate.rate != 0)
		s->queue_ms =
		    (double)(int64_t)(1e6 * ((double)q.limit / q.rate.rate) -
				      to_u32_field(q.buffer /
						   (ticks_per_second / 1e6))) /
		    1000;
	if (q.peakrate.rate != 0 || q.mtu != 0 || !plain_rate(&q.rate) ||
	    !only(tb, TCA_TBF_MAX,
		  BIT(TCA_TBF_PARMS) | BIT(TCA_TBF_BURST) | BIT(TCA_TBF_PAD)))
		return;
	for (i = 0; i < 2; i++) {
		rule = i == 0 ? EGRESS_BURST : q.rate.rate / 1000;
		got = bucket_bytes(q.buffer, q.rate.rate, (uint32_t)rule);
		if (distance(got, rule) <= tick_bytes(q.rate.rate) &&
		    distance(q.limit, q.rate.rate * 0.05 + rule) <= 1) {
			s->bucket = (uint32_t)rule;
			s->state = LIMIT_OWN;
			return;
		}
	}
}

/* A root qdisc of handle 0 is the kernel's own default, no limit at all. */
static void
decode_root(struct tcmsg *tcm, struct nlattr **tb, struct limit_status *s)
{
	if (tcm->tcm_handle == 0)
		return;
	memset(s, 0, sizeof(*s));
	s->state = LIMIT_FOREIGN;
	copy_kind(s, tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], s);
	if (strcmp(s->kind, "tbf") == 0)
		decode_tbf(tb[TCA_OPTIONS], s);
}

int
decode_qdisc(struct nl_msg *msg, void *arg)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1];
	(void)arg;

	if (hdr->nlmsg_type != RTM_NEWQDISC ||
	    nlmsg_parse(hdr, sizeof(*tcm), tb, TCA_MAX, NULL) != 0)
		return NL_SKIP;
	if (tcm->tcm_ifindex == target_ifindex) {
		if (tcm->tcm_parent == TC_H_ROOT)
			decode_root(tcm, tb, &egress_status);
		else if (tcm->tcm_parent == TC_H_INGRESS)
			copy_attr(tb[TCA_KIND], ingress_qdisc,
				  sizeof(ingress_qdisc) - 1);
	} else if (status_ifb != 0 && tcm->tcm_ifindex == status_ifb &&
		   tcm->tcm_parent == TC_H_ROOT) {
		decode_root(tcm, tb, &ifb_root);
	}
	return NL_OK;
}

/* The policer pondrel makes: drop beyond the rate, a 10240-byte bucket. */
static void
decode_police(struct nlattr *nest, struct limit_status *s)
{
	struct nlattr *tb[TCA_POLICE_MAX + 1];
	struct tc_police p;
	uint32_t mtu;

	snprintf(s->kind, sizeof(s->kind), "basic police");
	if (nla_parse_nested(tb, TCA_POLICE_MAX, nest, NULL) != 0 ||
	    tb[TCA_POLICE_TBF] == NULL)
		return;
	copy_attr(tb[TCA_POLICE_TBF], &p, sizeof(p));
	s->policed = true;
	s->rate = p.rate.rate;
	s->bucket = INGRESS_BURST;
	/* The kernel fills in the largest size its rate table covers. */
	mtu = p.rate.rate != 0 ? 255U << RATE_CELL_LOG : ~0U;
	if (p.action == TC_POLICE_SHOT && p.peakrate.rate == 0 &&
	    p.mtu == mtu && plain_rate(&p.rate) &&
	    distance(bucket_bytes(p.burst, p.rate.rate, INGRESS_BURST),
		     INGRESS_BURST) <= tick_bytes(p.rate.rate) &&
	    only(tb, TCA_POLICE_MAX,
		 BIT(TCA_POLICE_TBF) | BIT(TCA_POLICE_TM) |
		     BIT(TCA_POLICE_PAD)))
		s->state = LIMIT_OWN;
}

/* One mirred action that steals every packet to the interface's own IFB. */
static void
decode_actions(struct nlattr *nest, struct limit_status *s)
{
	struct nlattr *list[TCA_ACT_MAX_PRIO + 1], *tb[TCA_ACT_MAX + 1];
	struct nlattr *opt[TCA_MIRRED_MAX + 1];
	struct tc_mirred m;

	snprintf(s->kind, sizeof(s->kind), "basic action");
	if (nla_parse_nested(list, TCA_ACT_MAX_PRIO, nest, NULL) != 0 ||
	    list[1] == NULL || !only(list, TCA_ACT_MAX_PRIO, BIT(1)) ||
	    nla_parse_nested(tb, TCA_ACT_MAX, list[1], NULL) != 0)
		return;
	copy_kind(s, tb[TCA_ACT_KIND], "basic ");
	read_counters(tb[TCA_ACT_STATS], NULL, s);
	if (strcmp(s->kind, "basic mirred") != 0 ||
	    tb[TCA_ACT_OPTIONS] == NULL ||
	    nla_parse_nested(opt, TCA_MIRRED_MAX, tb[TCA_ACT_OPTIONS], NULL) !=
		0)
		return;
	copy_attr(opt[TCA_MIRRED_PARMS], &m, sizeof(m));
	redirected = status_ifb != 0 && m.action == TC_ACT_STOLEN &&
		     m.eaction == TCA_EGRESS_REDIR &&
		     m.ifindex == (uint32_t)status_ifb &&
		     only(opt, TCA_MIRRED_MAX,
			  BIT(TCA_MIRRED_PARMS) | BIT(TCA_MIRRED_TM) |
			      BIT(TCA_MIRRED_PAD));
}

/* The kernel always sends the match tree; pondrel's has no match in it. */
static bool
matches_all(struct nlattr *ematches)
{
	struct nlattr *tb[TCA_EMATCH_TREE_MAX + 1];
	struct tcf_ematch_tree_hdr hdr;

	if (ematches == NULL)
		return true;
	if (nla_parse_nested(tb, TCA_EMATCH_TREE_MAX, ematches, NULL) != 0)
		return false;
	copy_attr(tb[TCA_EMATCH_TREE_HDR], &hdr, sizeof(hdr));
	return hdr.nmatches == 0;
}

/*
 * The catch-all basic filter: every protocol, chain 0, no match, no class.
 * The kernel also sends a message for each filter's priority, with no
 * options, which counts for nothing.
 */
int
decode_filter(struct nl_msg *msg, void *arg)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1], *opt[TCA_BASIC_MAX + 1];
	struct limit_status *s = &ingress_status;
	uint32_t chain = 0;
	(void)arg;

	if (hdr->nlmsg_type != RTM_NEWTFILTER ||
	    nlmsg_parse(hdr, sizeof(*tcm), tb, TCA_MAX, NULL) != 0 ||
	    tcm->tcm_ifindex != target_ifindex || tb[TCA_OPTIONS] == NULL)
		return NL_SKIP;
	if (++ingress_filters > 1) {
		s->state = LIMIT_FOREIGN;
		return NL_OK;
	}
	memset(s, 0, sizeof(*s));
	s->state = LIMIT_FOREIGN;
	copy_kind(s, tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], s);
	copy_attr(tb[TCA_CHAIN], &chain, sizeof(chain));
	if (strcmp(s->kind, "basic") != 0 || chain != 0 ||
	    TC_H_MIN(tcm->tcm_info) != htons(ETH_P_ALL) ||
	    nla_parse_nested(opt, TCA_BASIC_MAX, tb[TCA_OPTIONS], NULL) != 0 ||
	    !only(opt, TCA_BASIC_MAX,
		  BIT(TCA_BASIC_POLICE) | BIT(TCA_BASIC_ACT) |
		      BIT(TCA_BASIC_EMATCHES) | BIT(TCA_BASIC_PCNT) |
		      BIT(TCA_BASIC_PAD)) ||
	    !matches_all(opt[TCA_BASIC_EMATCHES]))
		return NL_OK;
	if (opt[TCA_BASIC_POLICE] != NULL && opt[TCA_BASIC_ACT] == NULL)
		decode_police(opt[TCA_BASIC_POLICE], s);
	else if (opt[TCA_BASIC_ACT] != NULL && opt[TCA_BASIC_POLICE] == NULL)
		decode_actions(opt[TCA_BASIC_ACT], s);
	return NL_OK;
}

/*
 * Ingress is pondrel's policer, or its redirect with the IFB's tbf taking
 * the place of the limit: the IFB's queue is where the shaping happens and
 * where its counters are.
 */
void
judge_ingress(void)
{
	if (ingress_qdisc[0] == '\0') {
		ingress_status.state = LIMIT_NONE;
	} else if (strcmp(ingress_qdisc, "ingress") != 0) {
		memset(&ingress_status, 0, sizeof(ingress_status));
		ingress_status.state = LIMIT_FOREIGN;
		memcpy(ingress_status.kind, ingress_qdisc,
		       sizeof(ingress_qdisc));
	} else if (ingress_filters == 1 && redirected &&
		   ifb_root.state == LIMIT_OWN) {
		ingress_status = ifb_root;
	}
	if (ingress_status.state != LIMIT_OWN || ingress_status.policed)
		status_ifb_name[0] = '\0';
}

/* Nothing seen yet: each direction reads as none until a dump says. */
void
begin_status(void)
{
	memset(&egress_status, 0, sizeof(egress_status));
	memset(&ingress_status, 0, sizeof(ingress_status));
	memset(&ifb_root, 0, sizeof(ifb_root));
	ingress_qdisc[0] = '\0';
	ingress_filters = 0;
	redirected = false;
}

/* Filters first: the IFB's queue matters only if the redirect is there. */
void
read_status(void)
{
	begin_status();
	status_ifb = find_own_ifb(target_name, status_ifb_name);
	if (!dump_tc(RTM_GETTFILTER, target_ifindex, INGRESS_HANDLE,
		     decode_filter) ||
	    !dump_tc(RTM_GETQDISC, 0, 0, decode_qdisc))
		exit(1);
	judge_ingress();
}
