/*
 * The devices around a limit: the interface's IFB and the redirect to it,
 * IFBs left behind by interfaces gone, and what sysfs says of a device.
 */
#pragma once

#include <stdint.h>

#include <net/if.h>

#include "../kinds/kinds.h"

/* The alias that marks an IFB as pondrel's: the prefix, then the interface. */
#define IFB_MARK_PREFIX "pondrel ingress of "
#define IFB_MARK_SIZE (sizeof(IFB_MARK_PREFIX) + IFNAMSIZ)

/* Where the devices' attributes are read; tests read them elsewhere. */
#define SYSFS_NET "/sys/class/net"
/*
 * The link header that the policer and cake leave uncounted, read before
 * any request for the device of that name and index.
 */
uint32_t uncounted_header(const char *sysfs, const char *name, int ifindex);

void ifb_name(const char *iface, char name[IFNAMSIZ]);
/* The interface's own IFB as the kernel holds it, index 0 for none. */
struct ifb_found {
	int index;
	bool up;
	char name[IFNAMSIZ];
};
int find_own_ifb(struct nl_session &nl, const char *iface,
		 struct ifb_found *found);
/* What the kernel says of a device, such as one that may be an IFB of ours. */
struct link_facts {
	int index;
	bool ifb, up, has_alias, birth_address;
	unsigned tx_queues, rx_queues;
	uint64_t tx_bytes, rx_bytes;
	char alias[IFB_MARK_SIZE + 1]; /* one more: a longer alias is not ours */
	const uint8_t *want_address; /* NULL: no address to compare */
};
int read_link(struct nl_msg *msg, void *arg);
/* queues: the transmit queues it is made with, where more than one. */
int make_ifb(struct nl_session &nl, const char *iface, unsigned queues);
bool remove_ifb(struct nl_session &nl, int ifindex);
void remove_orphaned_ifb(struct nl_session &nl, const char *iface);
void remove_stranded_ifbs(struct nl_session &nl, const char *iface);

/* The interface's lock, held until the descriptor closes; -1 for none. */
int lock_interface(const char *name);
/* IFACE plus suffix beside the lock, as open(2) takes flags; -1 for none. */
int open_run_file(const char *name, const char *suffix, int flags);

bool add_redirect_filter(struct nl_session &nl, int ifindex, int ifb);
bool decode_redirect(struct nlattr *nest, int ifb, struct limit_status *s,
		     int *to);
