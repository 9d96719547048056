/* Removal comes first in both directions, so that a run replaces the last. */
#include "shaping.h"
#include "../netlink/netlink.h"

/*
 * A device without that qdisc answers EINVAL or ENOENT: nothing to remove
 * is no failure, which the tolerant exchange takes care of.
 */
bool
remove_qdisc_on(int ifindex, uint32_t parent, uint32_t handle)
{
	return send_and_wait(new_tc_request_on(ifindex, RTM_DELQDISC, 0, parent,
					       handle, 0),
			     true);
}

bool
remove_qdisc(uint32_t parent, uint32_t handle)
{
	return remove_qdisc_on(target_ifindex, parent, handle);
}
