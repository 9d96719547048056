/*
 * Reading back what holds each direction: the dumped qdiscs and ingress
 * filters, each judged by the recogniser of its kind, which sits beside
 * that kind's builder. Anything pondrel would never have sent is named by
 * its kind and claimed by nobody.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <linux/gen_stats.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../netlink/netlink.h"

struct limit_status egress_status, ingress_status;
int status_ifb;
char status_ifb_name[IFNAMSIZ];
bool status_ifb_up;

/* The ingress side, gathered over two dumps and judged after both. */
static struct limit_status ifb_root;
static char ingress_qdisc[16];
static int ingress_filters;
static bool redirected;

/* A root qdisc of handle 0 is the kernel's own default, no limit at all. */
static void
decode_root(struct tcmsg *tcm, struct nlattr **tb, struct limit_status *s)
{
	struct child_status child = s->child;

	if (tcm->tcm_handle == 0)
		return;
	memset(s, 0, sizeof(*s));
	s->child = child;
	s->state = LIMIT_FOREIGN;
	s->handle = tcm->tcm_handle;
	copy_kind(s->kind, sizeof(s->kind), tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], &s->count);
	if (strcmp(s->kind, "tbf") == 0)
		decode_tbf(tb[TCA_OPTIONS], s);
}

/* The kind's own statistics, in the nest or, from older kernels, apart. */
static struct nlattr *
app_stats(struct nlattr **tb)
{
	struct nlattr *stats[TCA_STATS_MAX + 1];

	if (tb[TCA_STATS2] != NULL &&
	    nla_parse_nested(stats, TCA_STATS_MAX, tb[TCA_STATS2], NULL) == 0 &&
	    stats[TCA_STATS_APP] != NULL)
		return stats[TCA_STATS_APP];
	return tb[TCA_XSTATS];
}

/* Anything below a root is its child; only the first is read in full. */
static void
decode_child(struct tcmsg *tcm, struct nlattr **tb, struct limit_status *s)
{
	struct child_status *c = &s->child;

	if (c->seen++ > 0)
		return;
	c->parent = tcm->tcm_parent;
	copy_kind(c->kind, sizeof(c->kind), tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], &c->count);
	if (strcmp(c->kind, "fq_codel") == 0)
		decode_fair_queue(tb[TCA_OPTIONS], app_stats(tb), c);
}

int
decode_qdisc(struct nl_msg *msg, void *arg)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1];
	struct limit_status *s;
	(void)arg;

	if (hdr->nlmsg_type != RTM_NEWQDISC ||
	    nlmsg_parse(hdr, sizeof(*tcm), tb, TCA_MAX, NULL) != 0)
		return NL_SKIP;
	if (tcm->tcm_ifindex == target_ifindex)
		s = &egress_status;
	else if (status_ifb != 0 && tcm->tcm_ifindex == status_ifb)
		s = &ifb_root;
	else
		return NL_OK;
	if (tcm->tcm_parent == TC_H_ROOT)
		decode_root(tcm, tb, s);
	else if (tcm->tcm_parent == TC_H_INGRESS && s == &egress_status)
		copy_attr(tb[TCA_KIND], ingress_qdisc,
			  sizeof(ingress_qdisc) - 1);
	else if (tcm->tcm_parent != TC_H_INGRESS)
		decode_child(tcm, tb, s);
	return NL_OK;
}

/*
 * The catch-all filter and what it carries. The kernel also sends a
 * message for each filter's priority, with no options, which counts for
 * nothing.
 */
int
decode_filter(struct nl_msg *msg, void *arg)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1], *opt[TCA_BASIC_MAX + 1];
	struct limit_status *s = &ingress_status;
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
	copy_kind(s->kind, sizeof(s->kind), tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], &s->count);
	if (!decode_catch_all(tcm, tb, opt))
		return NL_OK;
	if (opt[TCA_BASIC_POLICE] != NULL && opt[TCA_BASIC_ACT] == NULL)
		decode_police(opt[TCA_BASIC_POLICE], s);
	else if (opt[TCA_BASIC_ACT] != NULL && opt[TCA_BASIC_POLICE] == NULL)
		redirected = decode_redirect(opt[TCA_BASIC_ACT], status_ifb, s);
	return NL_OK;
}

/*
 * A tbf of pondrel's stays so with no child (a kernel without fq_codel
 * keeps the tbf alone) or with the fair queue pondrel makes for its rate;
 * any other child makes the pair someone else's.
 */
static void
judge_child(struct limit_status *s)
{
	struct child_status *c = &s->child;

	if (s->state != LIMIT_OWN || c->seen == 0)
		return;
	if (c->seen == 1 && claim_fair_queue(c, s->rate))
		return;
	s->state = LIMIT_FOREIGN;
	snprintf(s->kind, sizeof(s->kind), "tbf with %s", c->kind);
}

/*
 * Ingress is pondrel's policer, or its redirect with the IFB's tbf taking
 * the place of the limit: the IFB's queue is where the shaping happens and
 * where its counters are.
 */
void
judge_status(void)
{
	judge_child(&egress_status);
	judge_child(&ifb_root);
	if (ingress_qdisc[0] == '\0') {
		ingress_status.state = LIMIT_NONE;
	} else if (strcmp(ingress_qdisc, "ingress") != 0) {
		memset(&ingress_status, 0, sizeof(ingress_status));
		ingress_status.state = LIMIT_FOREIGN;
		memcpy(ingress_status.kind, ingress_qdisc,
		       sizeof(ingress_qdisc));
	} else if (ingress_filters == 1 && redirected &&
		   ifb_root.state != LIMIT_NONE) {
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
	struct ifb_found found;

	begin_status();
	status_ifb = find_own_ifb(target_name, &found);
	status_ifb_up = found.up;
	if (status_ifb != 0)
		memcpy(status_ifb_name, found.name, IFNAMSIZ);
	if (!dump_tc(RTM_GETTFILTER, target_ifindex, INGRESS_HANDLE,
		     decode_filter, NULL) ||
	    !dump_tc(RTM_GETQDISC, 0, 0, decode_qdisc, NULL))
		exit(1);
	judge_status();
}
