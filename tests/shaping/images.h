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
	// The bytes that the policer's bucket holds: more than the bare 10240
	// where the framing makes each packet cost more on the link.
	uint32_t policer_bucket = 10240;
};

request_image removal_image(int ifindex, uint32_t parent, uint32_t handle);
request_image ingress_qdisc_image(int ifindex);
request_image police_filter_image(int ifindex, uint32_t rate, double tps,
				  const framing_image &f = {});
request_image tbf_image(int ifindex, uint32_t rate, uint32_t limit,
			double tps, uint32_t burst = 2048, uint32_t handle = 0,
			const framing_image &f = {});
// The shaped mode's fair queue for a tbf of that rate, in its class 1:1.
request_image fair_queue_image(int ifindex, uint32_t rate);

// The shaped mode's IFB: made with the address it is born with, then marked
// as the interface's and brought up, and removed; the filter that redirects every arriving packet to it.
request_image ifb_create_image(const char *name, const uint8_t address[6]);
request_image ifb_mark_image(int ifb, const char *iface);
request_image ifb_delete_image(int ifb);
request_image redirect_filter_image(int ifindex, int ifb);

// The whole run for an interface, in order: ingress removal, and with a rate
// its qdisc and filter; then root removal, and with a rate the tbf.
// Rates are in bytes per second, below zero for none.
std::vector<request_image> run_images(int ifindex, double ingress,
				      double egress, double tps,
				      const framing_image &f = {});

// The same for a shaped run of the interface iface, whose IFB is ifb_name
// with index ifb. A rate for ingress makes the IFB unless it existed, marks
// and raises it, and shapes it before the redirect; "-" removes an IFB that
// existed. Both tbfs take handle 1:, a bucket of max(2048 bytes, 4 ms at
// the rate) and a fair queue.
std::vector<request_image> shaped_run_images(int ifindex, const char *iface,
					     const char *ifb_name,
					     const uint8_t address[6], int ifb,
					     bool ifb_existed, double ingress,
					     double egress, double tps,
					     const framing_image &f = {});

// Ticks to send size bytes at rate, the way the kernel's tables count them.
uint32_t reference_ticks(double size, uint32_t rate, double tps);
