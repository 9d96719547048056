/* An IFB whose interface has gone, removed before the run says so. */
#include <net/if.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/*
 * The kernel does not tie an IFB to the interface it serves, so one whose
 * interface went away stays behind until this or a later run for that name.
 */
void
remove_orphaned_ifb(const char *iface)
{
	char name[IFNAMSIZ];
	int ifb;

	if (interface_index(iface) != 0)
		return;
	ifb = find_own_ifb(iface, name);
	if (ifb == 0)
		return;
	/* The run goes on with the same socket. */
	open_route_socket();
	remove_ifb(ifb);
}
