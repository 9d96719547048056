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

#include <net/if_arp.h>

#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include "devices.h"

/* Long names hash to five hex digits; a taken one moves to the next. */
#define IFB_CANDIDATES 4

static uint32_t
name_hash(const char *iface)
{
	uint32_t hash = 2166136261u;
	const char *p;

	for (p = iface; *p != '\0'; p++)
		hash = (hash ^ (unsigned char)*p) * 16777619u;
	return hash;
}

/*
 * The k-th name that the interface's IFB may take, false past the last.
 * "ifb-" and the name while that fits in 15 bytes, the only candidate, as
 * no other interface's name gives it. A longer name keeps its start and
 * gains a hash of the whole, and two names may share both: the next
 * candidate counts the hash up, and the mark tells whose a device is.
 */
static bool
ifb_candidate(const char *iface, int k, char name[IFNAMSIZ])
{
	size_t len = strlen(iface);

	/*
	 * Copied rather than printed: every plain run names the IFB it looks
	 * for, and printf's machinery would cost it three pages of glibc.
	 */
	if (len <= IFNAMSIZ - 1 - 4) {
		memcpy(name, "ifb-", 4);
		memcpy(name + 4, iface, len);
		name[4 + len] = '\0';
		return k == 0;
	}
	snprintf(name, IFNAMSIZ, "ifb-%.5s-%05x", iface,
		 (name_hash(iface) + (uint32_t)k) & 0xfffff);
	return k < IFB_CANDIDATES;
}

void
ifb_name(const char *iface, char name[IFNAMSIZ])
{
	ifb_candidate(iface, 0, name);
}

static void
ifb_mark(const char *iface, char mark[IFB_MARK_SIZE])
{
	snprintf(mark, IFB_MARK_SIZE, "%s%s", IFB_MARK_PREFIX, iface);
}

/*
 * The kernel takes no alias with a new device, but it does take an
 * address: a locally administered one from the interface's name marks an
 * IFB whose run was stopped before its alias came, so that the next run
 * takes it over rather than finding its name taken.
 */
static void
ifb_birth_address(const char *iface, uint8_t addr[ETH_ALEN])
{
	uint32_t hash = name_hash(iface);

	addr[0] = 0x02;
	addr[1] = 'p';
	addr[2] = (uint8_t)(hash >> 24);
	addr[3] = (uint8_t)(hash >> 16);
	addr[4] = (uint8_t)(hash >> 8);
	addr[5] = (uint8_t)hash;
}

/*
 * The first line of a sysfs attribute of a device, without its newline:
 * one read into the caller's buffer, as the attributes are short.
 */
static bool
read_attr(const char *sysfs, const char *dev, const char *attr, char *buf,
	  int size)
{
	char path[128];
	ssize_t n, i;
	int fd;

	snprintf(path, sizeof(path), "%s/%s/%s", sysfs, dev, attr);
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

/*
 * A number that sysfs shows for the device, false where it shows none.
 * sysfs writes plain decimal digits.
 */
static bool
sysfs_number(const char *sysfs, const char *dev, const char *attr,
	     unsigned int *n)
{
	char text[16];
	const char *p;

	if (!read_attr(sysfs, dev, attr, text, sizeof(text)))
		return false;
	*n = 0;
	for (p = text; *p >= '0' && *p <= '9'; p++)
		*n = *n * 10 + (unsigned int)(*p - '0');
	return true;
}

/* The index that sysfs shows for the device of that name, 0 for none. */
static unsigned int
sysfs_index(const char *sysfs, const char *dev)
{
	unsigned int shown;

	return sysfs_number(sysfs, dev, "ifindex", &shown) ? shown : 0;
}

/*
 * The link header that the policer does not count and both tbfs do. On an
 * Ethernet interface the kernel takes the 14-byte header off an arriving
 * frame before the ingress filters see it, while the root tbf counts
 * leaving frames whole and the IFB's tbf counts what the redirect hands
 * it, header put back. A PPP or raw IP device has no header anywhere. The
 * device's type is read only where sysfs shows this network namespace's
 * device of that name; where it cannot be told, the header is counted, as
 * a packet taken for larger than it is only tightens the limit.
 */
uint32_t
uncounted_header(const char *sysfs, const char *name, int ifindex)
{
	unsigned int type;

	if (sysfs_index(sysfs, name) == (unsigned int)ifindex &&
	    sysfs_number(sysfs, name, "type", &type) && type != ARPHRD_ETHER)
		return 0;
	return ETH_HLEN;
}

/* A 32-bit attribute, 0 where it is missing. */
static unsigned
link_u32(struct nlattr *attr)
{
	uint32_t v = 0;

	copy_attr(attr, &v, sizeof(v));
	return v;
}

int
read_link(struct nl_msg *msg, void *arg)
{
	struct link_facts *f = (struct link_facts *)arg;
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	struct ifinfomsg *ifi = (struct ifinfomsg *)NLMSG_DATA(hdr);
	struct nlattr *tb[IFLA_MAX + 1], *info[IFLA_INFO_MAX + 1];

	if (hdr->nlmsg_type != RTM_NEWLINK ||
	    nlmsg_parse(hdr, sizeof(*ifi), tb, IFLA_MAX, NULL) != 0)
		return NL_SKIP;
	f->index = ifi->ifi_index;
	f->up = (ifi->ifi_flags & IFF_UP) != 0;
	f->tx_queues = link_u32(tb[IFLA_NUM_TX_QUEUES]);
	f->rx_queues = link_u32(tb[IFLA_NUM_RX_QUEUES]);
	if (tb[IFLA_STATS64] != NULL) {
		struct rtnl_link_stats64 st;
		copy_attr(tb[IFLA_STATS64], &st, sizeof(st));
		f->tx_bytes = st.tx_bytes;
		f->rx_bytes = st.rx_bytes;
	}
	if (tb[IFLA_LINKINFO] != NULL &&
	    nla_parse_nested(info, IFLA_INFO_MAX, tb[IFLA_LINKINFO], NULL) ==
		0 &&
	    info[IFLA_INFO_KIND] != NULL)
		f->ifb = nla_len(info[IFLA_INFO_KIND]) == sizeof("ifb") &&
			 memcmp(nla_data(info[IFLA_INFO_KIND]), "ifb",
				sizeof("ifb")) == 0;
	/* The whole alias, newlines and all, or nothing of one too long. */
	if (tb[IFLA_IFALIAS] != NULL && nla_len(tb[IFLA_IFALIAS]) > 1) {
		f->has_alias = true;
		copy_attr(tb[IFLA_IFALIAS], f->alias, sizeof(f->alias) - 1);
		if (nla_len(tb[IFLA_IFALIAS]) > (int)sizeof(f->alias))
			f->alias[0] = '\0';
	}
	f->birth_address = f->want_address != NULL && tb[IFLA_ADDRESS] != NULL &&
			   nla_len(tb[IFLA_ADDRESS]) == ETH_ALEN &&
			   memcmp(nla_data(tb[IFLA_ADDRESS]), f->want_address,
				  ETH_ALEN) == 0;
	return NL_OK;
}

/* What the kernel says of the device of that name, false when none. */
static bool
ask_link(struct nl_session &nl, const char *name, struct link_facts *f)
{
	/*
	 * Asked by name, the kernel looks the one device up, whatever else the
	 * system has, and loads no module for a name it lacks.
	 */
	int err = query_link(nl, name, read_link, f);

	if (err == ENODEV)
		return false;
	if (err != 0)
		return request_failed(nl, err);
	return true;
}

/*
 * The index of the interface's own IFB, or 0: an IFB whose whole alias is
 * pondrel's mark for that interface, or one whose run was stopped before it
 * was marked. Anything else is never touched. found->name is the IFB's,
 * or else the first name free for it ("" when none is).
 */
int
find_own_ifb(struct nl_session &nl, const char *iface, struct ifb_found *found)
{
	char mark[IFB_MARK_SIZE], name[IFNAMSIZ];
	uint8_t birth[ETH_ALEN];
	struct link_facts f;
	int k;

	ifb_mark(iface, mark);
	ifb_birth_address(iface, birth);
	memset(found, 0, sizeof(*found));
	for (k = 0; ifb_candidate(iface, k, name); k++) {
		memset(&f, 0, sizeof(f));
		f.want_address = birth;
		if (!ask_link(nl, name, &f)) {
			if (found->name[0] == '\0')
				memcpy(found->name, name, IFNAMSIZ);
			continue;
		}
		if (f.ifb && (f.has_alias ? strcmp(f.alias, mark) == 0
					  : f.birth_address)) {
			memcpy(found->name, name, IFNAMSIZ);
			found->index = f.index;
			found->up = f.up;
			return f.index;
		}
	}
	return 0;
}

bool
remove_ifb(struct nl_session &nl, int ifindex)
{
	return send_and_wait(nl, new_link_request(RTM_DELLINK, 0, ifindex, 0),
			     false);
}

/*
 * Made with as many transmit queues as the interface has receive queues,
 * so that a queue of several can take what arrives on each: a device of
 * one keeps the request it always had.
 */
static bool
create_ifb(struct nl_session &nl, const char *name, const char *iface,
	   unsigned queues)
{
	/* EXCL: a device of that name that is not ours makes this fail. */
	nl_request req =
	    new_link_request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, 0, 0);
	struct nl_msg *msg = req.get();
	struct nlattr *info;
	uint8_t birth[ETH_ALEN];
	uint32_t n = queues;

	ifb_birth_address(iface, birth);
	if (msg != NULL) {
		nla_put_string(msg, IFLA_IFNAME, name);
		nla_put(msg, IFLA_ADDRESS, ETH_ALEN, birth);
		if (n > 1)
			nla_put(msg, IFLA_NUM_TX_QUEUES, sizeof(n), &n);
		info = open_nest(msg, IFLA_LINKINFO);
		nla_put_string(msg, IFLA_INFO_KIND, "ifb");
		close_nest(msg, info);
	}
	return send_and_wait(nl, handed(req), false);
}

/* The alias, which the kernel takes only now, comes with bringing it up. */
static bool
mark_and_raise_ifb(struct nl_session &nl, int ifindex, const char *iface)
{
	nl_request req = new_link_request(RTM_NEWLINK, 0, ifindex, IFF_UP);
	char mark[IFB_MARK_SIZE];

	ifb_mark(iface, mark);
	if (req)
		nla_put_string(req.get(), IFLA_IFALIAS, mark);
	return send_and_wait(nl, handed(req), false);
}

/*
 * The interface's IFB, marked and up: the one a former run made, or a new
 * one. Returns its index, or 0 with the failure reported and no unmarked
 * device of ours left behind.
 */
int
make_ifb(struct nl_session &nl, const char *iface, unsigned queues)
{
	struct ifb_found found;
	int ifindex;

	ifindex = find_own_ifb(nl, iface, &found);
	if (ifindex == 0) {
		/* Every name it may take is someone else's. */
		if (found.name[0] == '\0')
			return request_failed(nl, EEXIST);
		if (!create_ifb(nl, found.name, iface, queues))
			return 0;
		ifindex = interface_index(nl, found.name);
		if (ifindex == 0) {
			request_failed(nl, ENODEV);
			return 0;
		}
	}
	if (!mark_and_raise_ifb(nl, ifindex, iface)) {
		remove_ifb(nl, ifindex);
		return 0;
	}
	return ifindex;
}
