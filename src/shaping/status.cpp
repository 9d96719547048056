/*
 * Reading back what holds each direction: the dumped qdiscs and ingress
 * filters, each judged by the recogniser of its kind, which sits beside
 * that kind's builder. Anything pondrel would never have sent is named by
 * its kind and claimed by nobody.
 */
#include <stdio.h>
#include <string.h>

#include <linux/gen_stats.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/*
 * The kinds that --status knows by the kernel's name for them, as tc
 * finds its own: a new kind is one file and one row here.
 */
static const struct limit_kind *const kinds[] = {
    &tbf_kind,
    &fair_queue_kind,
    &cake_kind,
};

static const struct limit_kind *
find_kind(const char *name, bool child)
{
	size_t i;

	for (i = 0; i < sizeof(kinds) / sizeof(kinds[0]); i++)
		if (kinds[i]->child == child &&
		    strcmp(kinds[i]->name, name) == 0)
			return kinds[i];
	return NULL;
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

/* A root qdisc of handle 0 is the kernel's own default, no limit at all. */
static void
decode_root(struct tcmsg *tcm, struct nlattr **tb, struct limit_status *s,
	    bool arriving)
{
	struct child_status child = s->child;
	const struct limit_kind *k;

	if (tcm->tcm_handle == 0)
		return;
	memset(s, 0, sizeof(*s));
	s->child = child;
	s->arriving = arriving;
	s->state = LIMIT_FOREIGN;
	s->handle = tcm->tcm_handle;
	copy_kind(s->kind, sizeof(s->kind), tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], &s->count);
	k = find_kind(s->kind, false);
	if (k != NULL) {
		k->decode(tb[TCA_OPTIONS], app_stats(tb), s);
		if (s->state == LIMIT_OWN)
			s->how = k;
	}
}

/* Anything below a root is its child; only the first is read in full. */
static void
decode_child(struct tcmsg *tcm, struct nlattr **tb, struct limit_status *s)
{
	struct child_status *c = &s->child;
	const struct limit_kind *k;

	if (c->seen++ > 0)
		return;
	c->parent = tcm->tcm_parent;
	copy_kind(c->kind, sizeof(c->kind), tb[TCA_KIND], "");
	read_counters(tb[TCA_STATS2], tb[TCA_STATS], &c->count);
	k = find_kind(c->kind, true);
	if (k != NULL)
		k->decode(tb[TCA_OPTIONS], app_stats(tb), s);
}

int
decode_qdisc(struct nl_msg *msg, void *arg)
{
	struct status_view *v = (struct status_view *)arg;
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1];
	struct limit_status *s;

	if (hdr->nlmsg_type != RTM_NEWQDISC ||
	    nlmsg_parse(hdr, sizeof(*tcm), tb, TCA_MAX, NULL) != 0)
		return NL_SKIP;
	if (tcm->tcm_ifindex == target_ifindex)
		s = &v->egress;
	else if (v->ifb != 0 && tcm->tcm_ifindex == v->ifb)
		s = &v->ifb_root;
	else
		return NL_OK;
	if (tcm->tcm_parent == TC_H_ROOT)
		decode_root(tcm, tb, s, s == &v->ifb_root);
	else if (tcm->tcm_parent == TC_H_INGRESS && s == &v->egress)
		copy_attr(tb[TCA_KIND], v->ingress_qdisc,
			  sizeof(v->ingress_qdisc) - 1);
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
	struct status_view *v = (struct status_view *)arg;
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[TCA_MAX + 1], *opt[TCA_BASIC_MAX + 1];
	struct limit_status *s = &v->ingress;

	if (hdr->nlmsg_type != RTM_NEWTFILTER ||
	    nlmsg_parse(hdr, sizeof(*tcm), tb, TCA_MAX, NULL) != 0 ||
	    tcm->tcm_ifindex != target_ifindex || tb[TCA_OPTIONS] == NULL)
		return NL_SKIP;
	if (++v->ingress_filters > 1) {
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
		v->redirected = decode_redirect(opt[TCA_BASIC_ACT], v->ifb, s,
						&v->redirect_to);
	return NL_OK;
}

/*
 * A tbf of pondrel's stays so with no child (a kernel without fq_codel
 * keeps the tbf alone) or with the fair queue pondrel makes for its rate;
 * any other child makes the pair someone else's, and so does any child
 * below a root that takes none.
 */
static void
judge_child(struct limit_status *s)
{
	struct child_status *c = &s->child;

	if (s->state != LIMIT_OWN || c->seen == 0)
		return;
	if (s->how == &tbf_kind && c->seen == 1 && claim_fair_queue(c, s->rate))
		return;
	s->state = LIMIT_FOREIGN;
	snprintf(s->kind, sizeof(s->kind), "%s with %s", s->how->name, c->kind);
}

/*
 * Ingress is pondrel's policer, or its redirect with the IFB's queue taking
 * the place of the limit: the IFB's queue is where the shaping happens and
 * where its counters are.
 */
void
judge_status(struct status_view *v)
{
	judge_child(&v->egress);
	judge_child(&v->ifb_root);
	if (v->ingress_qdisc[0] == '\0') {
		v->ingress.state = LIMIT_NONE;
	} else if (strcmp(v->ingress_qdisc, "ingress") != 0) {
		memset(&v->ingress, 0, sizeof(v->ingress));
		v->ingress.state = LIMIT_FOREIGN;
		memcpy(v->ingress.kind, v->ingress_qdisc,
		       sizeof(v->ingress_qdisc));
	} else if (v->ingress_filters == 1 && v->redirected &&
		   v->ifb_root.state != LIMIT_NONE) {
		v->ingress = v->ifb_root;
		if (v->ingress.state == LIMIT_OWN) {
			memcpy(v->ingress.ifb, v->ifb_name, IFNAMSIZ);
			v->ingress.ifb_up = v->ifb_up;
		}
	}
}

/* Nothing seen yet: each direction reads as none until a dump says. */
void
begin_status(struct status_view *v)
{
	memset(v, 0, sizeof(*v));
	v->redirect_to = -1;
}

/*
 * Filters first: the IFB's queue matters only if the redirect is there.
 * False when a dump failed, which the exchange has reported: the caller
 * ends the run.
 */
bool
read_status(struct status_view *v)
{
	struct ifb_found found;

	begin_status(v);
	v->ifb = find_own_ifb(target_name, &found);
	v->ifb_up = found.up;
	if (v->ifb != 0)
		memcpy(v->ifb_name, found.name, IFNAMSIZ);
	if (!dump_tc(RTM_GETTFILTER, target_ifindex, INGRESS_HANDLE,
		     decode_filter, v) ||
	    !dump_tc(RTM_GETQDISC, 0, 0, decode_qdisc, v))
		return false;
	judge_status(v);
	return true;
}
