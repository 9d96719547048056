/* Removal comes first in both directions, so that a run replaces the last. */
#include "run.h"

/*
 * A device without that qdisc answers EINVAL or ENOENT: nothing to remove
 * is no failure, which the tolerant exchange takes care of.
 */
bool
remove_qdisc(struct nl_session &nl, int ifindex, uint32_t parent,
	     uint32_t handle)
{
	return send_and_wait(
	    nl, new_tc_request(ifindex, RTM_DELQDISC, 0, parent, handle, 0),
	    true);
}
