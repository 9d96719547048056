/*
 * The shaped mode's ingress: the catch-all filter's one mirred action
 * steals every arriving packet to the interface's IFB, whose tbf shapes it.
 */
#include <stdio.h>
#include <string.h>

#include <linux/pkt_cls.h>
#include <linux/tc_act/tc_mirred.h>

#include "devices.h"

bool
add_redirect_filter(struct nl_session &nl, int ifindex, int ifb)
{
	nl_request req = new_catch_all_filter(ifindex);
	struct nl_msg *msg = req.get();
	struct nlattr *options, *actions, *action, *action_options;
	struct tc_mirred mirred;

	if (msg == NULL)
		return send_and_wait(nl, handed(req), false);

	memset(&mirred, 0, sizeof(mirred));
	mirred.action = TC_ACT_STOLEN;
	mirred.eaction = TCA_EGRESS_REDIR;
	mirred.ifindex = (uint32_t)ifb;

	options = open_nest(msg, TCA_OPTIONS);
	actions = open_nest(msg, TCA_BASIC_ACT);
	action = open_nest(msg, 1); /* the first and only action */
	nla_put_string(msg, TCA_ACT_KIND, "mirred");
	action_options = open_nest(msg, TCA_ACT_OPTIONS);
	nla_put(msg, TCA_MIRRED_PARMS, sizeof(mirred), &mirred);
	close_nest(msg, action_options);
	close_nest(msg, action);
	close_nest(msg, actions);
	close_nest(msg, options);
	return send_and_wait(nl, handed(req), false);
}

/*
 * True for the one action add_redirect_filter sends, and to that IFB;
 * *to is the device that a lone mirred action sends to, whoever made it.
 */
bool
decode_redirect(struct nlattr *nest, int ifb, struct limit_status *s,
		int *to)
{
	struct nlattr *list[TCA_ACT_MAX_PRIO + 1], *tb[TCA_ACT_MAX + 1];
	struct nlattr *opt[TCA_MIRRED_MAX + 1];
	struct tc_mirred m;

	snprintf(s->kind, sizeof(s->kind), "basic action");
	if (nla_parse_nested(list, TCA_ACT_MAX_PRIO, nest, NULL) != 0 ||
	    list[1] == NULL || !only(list, TCA_ACT_MAX_PRIO, BIT(1)) ||
	    nla_parse_nested(tb, TCA_ACT_MAX, list[1], NULL) != 0)
		return false;
	copy_kind(s->kind, sizeof(s->kind), tb[TCA_ACT_KIND], "basic ");
	read_counters(tb[TCA_ACT_STATS], NULL, &s->count);
	if (strcmp(s->kind, "basic mirred") != 0 ||
	    tb[TCA_ACT_OPTIONS] == NULL ||
	    nla_parse_nested(opt, TCA_MIRRED_MAX, tb[TCA_ACT_OPTIONS], NULL) !=
		0)
		return false;
	copy_attr(opt[TCA_MIRRED_PARMS], &m, sizeof(m));
	*to = (int)m.ifindex;
	return ifb != 0 && m.action == TC_ACT_STOLEN &&
	       m.eaction == TCA_EGRESS_REDIR && m.ifindex == (uint32_t)ifb &&
	       only(opt, TCA_MIRRED_MAX,
		    BIT(TCA_MIRRED_PARMS) | BIT(TCA_MIRRED_TM) |
			BIT(TCA_MIRRED_PAD));
}
