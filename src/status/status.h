/*
 * The status view: what holds each direction as the kernel's dumps show
 * it, judged "pondrel's or not" by the kind of each, and printed.
 */
#pragma once

#include <net/if.h>

#include "../kinds/kinds.h"

/* Both directions as the dumps show them, passed to each dump's parser. */
struct status_view {
	/* The interface, and what its kinds' rules need. */
	int ifindex;
	const struct link_terms *terms;
	struct limit_status egress, ingress;
	/* The ingress side, gathered over two dumps and judged after both. */
	struct limit_status ifb_root;
	int ifb; /* the interface's own IFB, if any: only a redirect there
		    can be ours */
	char ifb_name[IFNAMSIZ];
	bool ifb_up;
	char ingress_qdisc[16];
	int ingress_filters;
	bool redirected;
	/*
	 * Where a lone mirred action sends, -1 for none; 0 once its device
	 * is gone, as the kernel reports it then.
	 */
	int redirect_to;
};

void begin_status(struct status_view *v, int ifindex,
		  const struct link_terms *t);
int decode_qdisc(struct nl_msg *msg, void *arg);
int decode_filter(struct nl_msg *msg, void *arg);
void judge_status(struct status_view *v);
/* False when a dump failed, which the exchange has reported. */
bool read_status(struct nl_session &nl, const char *name, int ifindex,
		 const struct link_terms *t, struct status_view *v);
/*
 * The roots of the interface and of the IFB that a full read found (either
 * 0 to leave it out), and nothing else: cheap enough to check before each
 * change of a rate. False on any error, unreported; ingress reads as the
 * IFB's root.
 */
bool read_roots(struct nl_session &nl, int ifindex, int ifb,
		const struct link_terms *t, struct status_view *v);
/* more, where given, adds what the layers above know: keys or lines. */
void print_status(const char *name, const struct status_view *v, bool json,
		  void (*more)(const void *arg, bool json), const void *arg);
