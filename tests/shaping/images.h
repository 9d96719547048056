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

request_image removal_image(int ifindex, uint32_t parent, uint32_t handle);
request_image ingress_qdisc_image(int ifindex);
request_image police_filter_image(int ifindex, uint32_t rate, double tps);
request_image tbf_image(int ifindex, uint32_t rate, uint32_t limit,
			double tps);

// The whole run for an interface, in order: ingress removal, and with a rate
// its qdisc and filter; then root removal, and with a rate the tbf.
// Rates are in bytes per second, below zero for none.
std::vector<request_image> run_images(int ifindex, double ingress,
				      double egress, double tps);

// The shaped mode's own requests: raising and marking the interface's IFB
// (the body is an ifinfomsg, not a tcmsg) and the ingress filter that
// redirects every packet to it.
request_image ifb_raise_image(int ifb, const char *iface);
request_image redirect_filter_image(int ifindex, int ifb);

// A shaped run whose IFB already exists, as a second run makes it: the
// ingress removal, the IFB raised, its queue replaced, the ingress qdisc and
// redirect; then the egress as in run_images. Rates below 16384000 bytes/s,
// whose bucket is the plain run's 2048 bytes.
std::vector<request_image> shaped_run_images(int ifindex, int ifb,
					     const char *iface, double ingress,
					     double egress, double tps);

// Ticks to send size bytes at rate, the way the kernel's tables count them.
uint32_t reference_ticks(double size, uint32_t rate, double tps);
