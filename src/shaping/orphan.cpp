/* An IFB whose interface has gone, removed before the run says so. */
#include <net/if.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/*
 * The kernel does not tie an IFB to the interface it serves, so one whose
 * interface went away stays behind until this or a later run for that name.
 * An interface that was only renamed still redirects to it: that one stays.
 * Without a route socket there is nothing to ask, and the run goes on to
 * say that the interface is missing.
 */
void
remove_orphaned_ifb(const char *iface)
{
	struct ifb_found found;

	if (route_fd < 0 || interface_index(iface) != 0)
		return;
	if (find_own_ifb(iface, &found) == 0 || redirected_to(found.index))
		return;
	remove_ifb(found.index);
}
