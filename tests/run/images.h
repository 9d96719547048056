// Expected request images, assembled from the kernel's own structs and not
// from the code under test. Each body is what follows the 16-byte netlink
// header: the tcmsg or ifinfomsg and the attributes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <utility>
#include <vector>

typedef std::vector<uint8_t> byte_image;

struct request_image {
	uint16_t type;
	uint16_t flags;
	bool tolerant; // sent with EINVAL and ENOENT tolerated
	byte_image body;
	// Byte ranges (offset, length) of the body taken as sent: the inner
	// entries of each rate table, which its own tests check.
	std::vector<std::pair<size_t, size_t>> unchecked;
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

// cake as the --cake mode sends it, the figures as the kernel takes them:
// isolation 5 is dual-srchost and 6 dual-dsthost, atm 1 is ATM cells; raw
// means no framing option, sent as overhead 0 and the raw flag. split_gso
// is 1 while a GSO packet of 64 KiB takes longer than 5 ms.
struct cake_figures {
	uint64_t rate;
	uint32_t isolation, ingress, split_gso;
	int32_t overhead;
	uint32_t mpu, atm;
	bool raw;
};

// What the records of one run carry. Where a kind can sit on either
// device, [0] is the IFB's (ingress) and [1] the interface's (egress).
struct run_figures {
	int ifindex, ifb;
	const char *iface, *ifb_name;
	const uint8_t *address; // the IFB's as its creation asks for it
	uint32_t queues;        // the IFB's transmit queues
	police_figures police;
	tbf_figures tbf[2];
	fair_queue_figures fq[2];
	cake_figures cake[2];
	double tps;
	framing_image framing;
};

// One request of a run as the kernel reads its header: type, flags,
// whether EINVAL and ENOENT are tolerated, the device ('i' the interface,
// 'b' its IFB, 'n' the IFB as it is made), parent, handle, and the kind
// whose records it carries ("" for a removal).
struct step {
	uint16_t type, flags;
	bool tolerant;
	char device;
	uint32_t parent, handle;
	const char *kind;
};
typedef std::vector<step> run_order;

// Each request that a run can send, stated in images.cpp. IFB_ names the
// ones on the IFB; _CHANGE a cake changed in place rather than made.
extern const step DEL_INGRESS, INGRESS, POLICE, DEL_ROOT, TBF, SHAPED_TBF, FQ,
    MAKE_IFB, MARK_IFB, DEL_IFB, DEL_IFB_ROOT, IFB_TBF, IFB_FQ, REDIRECT, CAKE,
    CAKE_CHANGE, IFB_CAKE, IFB_CAKE_CHANGE, CAKE_MQ, CAKE_MQ_CHANGE,
    IFB_CAKE_MQ, IFB_CAKE_MQ_CHANGE;

// The requests in order, each with the records its kind takes.
std::vector<request_image> run_images(const run_order &order,
				      const run_figures &f);

// want's body with its unchecked ranges as got has them, for comparing the
// two; want's own where the lengths differ.
byte_image as_compared(const request_image &want, const byte_image &got);

// The order that a run sends its requests in, as a table states it for
// each case, or null for a case that the table lacks. mode is 'p' for a
// plain run, 's' for --shape and 'c' for --cake; ifb says that the
// interface's own IFB is there before the run; in and eg are '-' for no
// limit, 'n' for one made new and 'c' for cake changed in place.
const run_order *known_order(char mode, bool ifb, char in, char eg);
