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

#include "status.h"
#include "../devices/devices.h"

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
decode_root(const struct link_terms &t, struct tcmsg *tcm, struct nlattr **tb,
	    struct limit_status *s, bool arriving)
{
	struct child_status child = s->child;
	const struct kind *k;

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
		k->decode(t, tb[TCA_OPTIONS], app_stats(tb), s);
		if (s->state == LIMIT_OWN)
			s->how = k;
	}
}

/*
 * Anything below a root is its child. The first is read in full; those
 * after it count as strays where their kind or major is not the first's,
 * and are decoded only where they are of its kind.
 */
static void
decode_child(const struct link_terms &t, struct tcmsg *tcm, struct nlattr **tb,
	     struct limit_status *s)
{
	struct child_status *c = &s->child;
	const struct kind *k;
	char kind[sizeof(c->kind)];

	copy_kind(kind, sizeof(kind), tb[TCA_KIND], "");
	if (c->seen++ == 0) {
		c->parent = tcm->tcm_parent;
		memcpy(c->kind, kind, sizeof(kind));
		read_counters(tb[TCA_STATS2], tb[TCA_STATS], &c->count);
	} else if (strcmp(kind, c->kind) != 0 ||
		   TC_H_MAJ(tcm->tcm_parent) != TC_H_MAJ(c->parent)) {
		c->strays++;
		return;
	}
	k = find_kind(c->kind, true);
	if (k != NULL)
		k->decode(t, tb[TCA_OPTIONS], app_stats(tb), s);
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
	if (tcm->tcm_ifindex == v->ifindex)
		s = &v->egress;
	else if (v->ifb != 0 && tcm->tcm_ifindex == v->ifb)
		s = &v->ifb_root;
	else
		return NL_OK;
	if (tcm->tcm_parent == TC_H_ROOT)
		decode_root(*v->terms, tcm, tb, s, s == &v->ifb_root);
	else if (tcm->tcm_parent == TC_H_INGRESS && s == &v->egress)
		copy_attr(tb[TCA_KIND], v->ingress_qdisc,
			  sizeof(v->ingress_qdisc) - 1);
	else if (tcm->tcm_parent != TC_H_INGRESS)
		decode_child(*v->terms, tcm, tb, s);
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
	    tcm->tcm_ifindex != v->ifindex || tb[TCA_OPTIONS] == NULL)
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
		decode_police(*v->terms, opt[TCA_BASIC_POLICE], s);
	else if (opt[TCA_BASIC_ACT] != NULL && opt[TCA_BASIC_POLICE] == NULL)
		v->redirected = decode_redirect(opt[TCA_BASIC_ACT], v->ifb, s,
						&v->redirect_to);
	return NL_OK;
}

/*
 * What hangs below a root of pondrel's is judged by the root's kind: any
 * child it does not claim makes the pair someone else's, and so does any
 * child below a root that takes none.
 */
static void
judge_child(struct limit_status *s)
{
	struct child_status *c = &s->child;

	if (s->state != LIMIT_OWN || c->seen == 0)
		return;
	if (s->how->claim != NULL && s->how->claim(s))
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
begin_status(struct status_view *v, int ifindex, const struct link_terms *t)
{
	memset(v, 0, sizeof(*v));
	v->ifindex = ifindex;
	v->terms = t;
	v->redirect_to = -1;
}

/*
 * Filters first: the IFB's queue matters only if the redirect is there.
 * False when a dump failed, which the exchange has reported: nothing
 * more can be known.
 */
bool
read_status(struct nl_session &nl, const char *name, int ifindex,
	    const struct link_terms *t, struct status_view *v)
{
	struct ifb_found found;

	begin_status(v, ifindex, t);
	v->ifb = find_own_ifb(nl, name, &found);
	v->ifb_up = found.up;
	if (v->ifb != 0)
		memcpy(v->ifb_name, found.name, IFNAMSIZ);
	if (!dump_tc(nl, RTM_GETTFILTER, ifindex, INGRESS_HANDLE, decode_filter,
		     v) ||
	    !dump_tc(nl, RTM_GETQDISC, 0, 0, decode_qdisc, v))
		return false;
	judge_status(v);
	return true;
}

bool
read_roots(struct nl_session &nl, int ifindex, int ifb,
	   const struct link_terms *t, struct status_view *v)
{
	begin_status(v, ifindex, t);
	v->ifb = ifb;
	if ((ifindex != 0 && query_tc(nl, RTM_GETQDISC, ifindex, TC_H_ROOT,
				      decode_qdisc, v) != 0) ||
	    (ifb != 0 &&
	     query_tc(nl, RTM_GETQDISC, ifb, TC_H_ROOT, decode_qdisc, v) != 0))
		return false;
	v->ingress = v->ifb_root;
	return true;
}
