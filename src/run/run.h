/*
 * A run: the modes, each a row of kinds, and what a run sends in each
 * direction, in order, with what it knows passed down in one context.
 */
#pragma once

#include "../netlink/netlink.h"
#include "../kinds/kinds.h"
#include "../status/status.h"

/*
 * What sits at the root of each direction, in order of preference (a kind
 * that does not suit the device gives way to the next), what sits below
 * it, and how ingress is limited: through an IFB that takes the same root,
 * or by a policer. queues: the run asks the device's queue counts.
 */
struct mode {
	const struct kind *roots[2];
	const struct kind *child;
	const struct kind *policer;
	bool ifb;
	bool queues;
};
extern const struct mode plain_mode, shaped_mode, cake_mode;

/* What one run knows, all of it before its first request but the socket's. */
struct run {
	const char *name;
	int ifindex;
	const struct mode *how;
	struct link_terms terms;
	unsigned tx_queues, rx_queues;
	struct nl_session nl;
};

bool remove_qdisc(struct nl_session &nl, int ifindex, uint32_t parent,
		  uint32_t handle);
/* What the two directions share (egress.cpp). */
bool shape_root(struct run &r, int ifindex, double rate, bool arriving,
		unsigned queues);
bool changes_in_place(const struct run &r, const struct limit_status &s);
bool change_root(struct run &r, int ifindex, double rate, bool arriving,
		 const struct limit_status &s);
void configure_ingress(struct run &r, double rate,
		       const struct status_view &now);
void configure_egress(struct run &r, double rate,
		      const struct status_view &now);
bool configuration_holds(const struct run &r, const struct status_view &v,
			 double ingress, double egress);
void remove_dead_redirect(struct run &r, const struct status_view &v);
