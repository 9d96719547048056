// Expected request images, assembled from the kernel's own structs and not
// from the code under test. Each body is what follows the 16-byte netlink
// header: the tcmsg and the attributes.
#pragma once

#include <stdint.h>

#include <vector>

typedef std::vector<uint8_t> byte_image;

struct request_image {
	uint16_t type;
	uint16_t flags;
	bool tolerant; // sent with EINVAL and ENOENT tolerated
	byte_image body;
};

// The link's framing as every rate record of a run carries it; the
// policer's overhead also holds the header that it leaves uncounted (14
// bytes on an Ethernet interface, once a framing option is given).
struct framing_image {
	uint16_t overhead = 0, mpu = 0;
	bool atm = false;
	uint16_t policer_header = 0;
};

// The figures of each record, as the tests state them: known answers, not
// worked out here from the builder's rules. Rates in bytes per second,
// buckets in bytes and in ticks of the scheduler's clock.
struct police_figures {
	uint32_t rate, ticks;
};
struct tbf_figures {
	uint32_t rate, burst, limit, ticks;
};
struct fair_queue_figures {
	uint32_t target, interval, limit, memory;
};
// One direction of the shaped mode: its tbf and the fair queue in it.
struct shaper_figures {
	tbf_figures tbf;
	fair_queue_figures fq;
};

request_image removal_image(int ifindex, uint32_t parent, uint32_t handle);
request_image ingress_qdisc_image(int ifindex);
// The rate table is the one thing assembled rather than stated: entry i is
// the ticks of 8 (i + 1) bytes as the link counts them, the table that the
// kernel reads; the tests pin entries of it at known figures.
request_image police_filter_image(int ifindex, police_figures p, double tps,
				  const framing_image &f = {});
request_image tbf_image(int ifindex, uint32_t handle, tbf_figures t,
			double tps, const framing_image &f = {});
// The shaped mode's fair queue, in class 1:1 of its tbf.
request_image fair_queue_image(int ifindex, fair_queue_figures q);

// cake at the root as the --cake mode sends it, the figures as the kernel
// takes them: isolation 5 is dual-srchost and 6 dual-dsthost, atm 1 is ATM
// cells; raw means no framing option, sent as overhead 0 and the raw flag.
// split_gso is 1 while a GSO packet of 64 KiB takes longer than 5 ms.
struct cake_figures {
	uint64_t rate;
	uint32_t isolation, ingress, split_gso;
	int32_t overhead;
	uint32_t mpu, atm;
	bool raw;
};
// Made after the old root went (flags create and exclusive), or changed in
// place (flags 0).
// cake_mq takes the same options under its own kind.
request_image cake_image(int ifindex, uint16_t flags, cake_figures c,
			 const char *kind = "cake");
// A --cake run, in order: a direction is made new, changed in place (the
// cake of pondrel's that it found: one request) or, null, removed. Ingress
// is made as in the shaped mode, cake in place of the tbf and its child.
struct cake_direction {
	const cake_figures *figures;
	bool change;
};
std::vector<request_image>
cake_run_images(int ifindex, const char *iface, const char *ifb_name,
		const uint8_t address[6], int ifb, bool ifb_existed,
		cake_direction in, cake_direction eg);

// The shaped mode's IFB: made with the address it is born with, then marked
// as the interface's and brought up, and removed; the filter that redirects every arriving packet to it.
// queues: its transmit queues, sent only where more than one.
request_image ifb_create_image(const char *name, const uint8_t address[6],
			       uint32_t queues = 1);
request_image ifb_mark_image(int ifb, const char *iface);
request_image ifb_delete_image(int ifb);
request_image redirect_filter_image(int ifindex, int ifb);

// The whole run for an interface, in order: ingress removal, and with a
// policer its qdisc and filter; then root removal, and with a tbf the tbf.
// A null direction has no rate.
std::vector<request_image> run_images(int ifindex, const police_figures *in,
				      const tbf_figures *eg, double tps,
				      const framing_image &f = {});

// The same for a shaped run of the interface iface, whose IFB is ifb_name
// with index ifb. Ingress makes the IFB unless it existed, marks and
// raises it, and shapes it before the redirect; none removes an IFB that
// existed. Both tbfs take handle 1:.
std::vector<request_image>
shaped_run_images(int ifindex, const char *iface, const char *ifb_name,
		  const uint8_t address[6], int ifb, bool ifb_existed,
		  const shaper_figures *in, const shaper_figures *eg,
		  double tps, const framing_image &f = {});
