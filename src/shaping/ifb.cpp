/*
 * The shaped mode's IFB: a device that arriving traffic is redirected to,
 * so that a queue can shape it on the IFB's way out. It belongs to one
 * interface, by its name and by the alias that marks it as pondrel's.
 */
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include "shaping.h"
#include "../netlink/netlink.h"

const char *sysfs_net_dir = "/sys/class/net";

/*
 * "ifb-" and the name while that fits in 15 bytes; a longer name keeps its
 * start and gains a hash of the whole, so that names sharing a start differ.
 */
void
ifb_name(const char *iface, char name[IFNAMSIZ])
{
	uint32_t hash = 2166136261u;
	size_t len = strlen(iface);
	const char *p;

	/*
	 * Copied rather than printed: every plain run names the IFB it looks
	 * for, and printf's machinery would cost it three pages of glibc.
	 */
	if (len <= IFNAMSIZ - 1 - 4) {
		memcpy(name, "ifb-", 4);
		memcpy(name + 4, iface, len);
		name[4 + len] = '\0';
		return;
	}
	for (p = iface; *p != '\0'; p++)
		hash = (hash ^ (unsigned char)*p) * 16777619u;
	snprintf(name, IFNAMSIZ, "ifb-%.5s-%05x", iface, hash & 0xfffff);
}

static void
ifb_mark(const char *iface, char mark[IFB_MARK_SIZE])
{
	snprintf(mark, IFB_MARK_SIZE, "%s%s", IFB_MARK_PREFIX, iface);
}

/*
 * The first line of a sysfs attribute of a device, without its newline:
 * one read into the caller's buffer, as the attributes are short.
 */
bool
read_attr(const char *dev, const char *attr, char *buf, int size)
{
	char path[128];
	ssize_t n, i;
	int fd;

	snprintf(path, sizeof(path), "%s/%s/%s", sysfs_net_dir, dev, attr);
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	n = read(fd, buf, size - 1);
	close(fd);
	if (n <= 0)
		return false;
	for (i = 0; i < n && buf[i] != '\n'; i++)
		;
	buf[i] = '\0';
	return true;
}

/* The index that sysfs shows for the device of that name, 0 for none. */
unsigned int
sysfs_index(const char *dev)
{
	char index[16];
	unsigned int shown = 0;
	const char *p;

	if (!read_attr(dev, "ifindex", index, sizeof(index)))
		return 0;
	/* sysfs writes the index in plain decimal digits. */
	for (p = index; *p >= '0' && *p <= '9'; p++)
		shown = shown * 10 + (unsigned int)(*p - '0');
	return shown;
}

/*
 * The index of the interface's own IFB, or 0 when there is none: no device
 * of that name, or one without pondrel's mark, which is never touched. The
 * index must agree with the one this network namespace gives the name, as
 * sysfs may show another namespace's devices. Every run without --shape
 * asks, and there is mostly none, so sysfs comes first: the route socket's
 * ioctl is quicker, but for a name that does not exist a kernel with
 * modules runs modprobe for it, twice when root asks.
 */
int
find_own_ifb(const char *iface, char name[IFNAMSIZ])
{
	char mark[IFB_MARK_SIZE], alias[IFB_MARK_SIZE];
	unsigned int shown;
	int ifindex;

	ifb_name(iface, name);
	shown = sysfs_index(name);
	if (shown == 0)
		return 0;
	ifindex = interface_index(name);
	if ((unsigned int)ifindex != shown)
		return 0;
	ifb_mark(iface, mark);
	if (!read_attr(name, "ifalias", alias, sizeof(alias)) ||
	    strcmp(alias, mark) != 0)
		return 0;
	return ifindex;
}

bool
remove_ifb(int ifindex)
{
	return send_and_wait(new_link_request(RTM_DELLINK, 0, ifindex, 0),
			     false);
}

static bool
create_ifb(const char *name)
{
	struct nl_msg *msg;
	struct nlattr *info;

	/* EXCL: a device of that name that is not ours makes this fail. */
	msg = new_link_request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, 0, 0);
	nla_put_string(msg, IFLA_IFNAME, name);
	info = open_nest(msg, IFLA_LINKINFO);
	nla_put_string(msg, IFLA_INFO_KIND, "ifb");
	close_nest(msg, info);
	return send_and_wait(msg, false);
}

/* The kernel takes no alias on creation, so it comes with bringing it up. */
static bool
mark_and_raise_ifb(int ifindex, const char *iface)
{
	struct nl_msg *msg;
	char mark[IFB_MARK_SIZE];

	ifb_mark(iface, mark);
	msg = new_link_request(RTM_NEWLINK, 0, ifindex, IFF_UP);
	nla_put_string(msg, IFLA_IFALIAS, mark);
	return send_and_wait(msg, false);
}

/*
 * The interface's IFB, marked and up: the one a former run made, or a new
 * one. Returns its index, or 0 with the failure reported and no unmarked
 * device of ours left behind.
 */
int
make_ifb(const char *iface)
{
	char name[IFNAMSIZ];
	int ifindex;

	ifindex = find_own_ifb(iface, name);
	if (ifindex == 0) {
		if (!create_ifb(name))
			return 0;
		ifindex = interface_index(name);
		if (ifindex == 0) {
			request_failed(ENODEV);
			return 0;
		}
	}
	if (!mark_and_raise_ifb(ifindex, iface)) {
		remove_ifb(ifindex);
		return 0;
	}
	return ifindex;
}
