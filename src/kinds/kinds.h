/*
 * The kinds of limit: each is built, recognised and printed by one file,
 * and found by its name in one table, with the rate arithmetic they share.
 */
#pragma once

#include <stdint.h>

#include <net/if.h>

#include <linux/pkt_sched.h>

#include "../netlink/netlink.h"

struct tcmsg;

/* Kbit/s on the command line are 1000 bit/s, so 125 bytes per second. */
#define BYTES_PER_KBIT 125.0

/* Where the kernel publishes its packet-scheduler clock. */
#define PSCHED_PATH "/proc/net/psched"

/* 256 cells of 8 bytes: how many ticks each size from 8 to 2048 bytes takes. */
#define RATE_TABLE_SIZE 256
#define RATE_CELL_LOG 3
typedef uint32_t rate_table[RATE_TABLE_SIZE];

/* Handle of the ingress qdisc, and so the parent of its filter. */
#define INGRESS_HANDLE 0xFFFF0000U

/* Bucket depths in bytes: the policer gets five times the shaper's burst. */
#define EGRESS_BURST 2048
#define INGRESS_BURST 10240

/*
 * The shaped mode's tbf takes a handle, so that its fair queue can hang
 * below it in the tbf's one class; cake takes the same.
 */
#define TBF_HANDLE 0x00010000U
#define FAIR_QUEUE_PARENT (TBF_HANDLE | 1)
#define FAIR_QUEUE_HANDLE 0x00020000U
#define CAKE_HANDLE 0x00010000U

/*
 * The link's own framing (--overhead, --mpu, --atm), which every rate
 * record of a run carries: a packet costs the length that the kernel
 * counts plus the overhead, at least the minimum unit, and on ATM whole
 * 53-byte cells of 48 bytes each.
 */
struct framing {
	uint16_t overhead, mpu;
	bool atm;
};

/*
 * What every kind's rules need of the run, all known before its first
 * request. given says that a framing option came, and only then is the
 * policer's count corrected. header is the link header that the policer
 * and cake leave uncounted where the tbfs count it.
 */
struct link_terms {
	struct framing framing;
	bool given;
	uint32_t header;
	double ticks_per_second;
};

/* The clock's text as the kernel writes it; false without three fields. */
bool parse_psched_clock(const char *text, double *ticks_per_second);
/* The same from the file; false, with errno, when it cannot be read. */
bool read_psched_clock(double *ticks_per_second);
uint32_t to_u32_field(double x);
double xmit_ticks(const struct link_terms &t, double size, uint32_t rate);
double link_bytes(uint32_t size, const struct framing *f);
void fill_rate_table(const struct link_terms &t, struct tc_ratespec *spec,
		     rate_table table, uint32_t uncounted);

/* Where and how a kind is to be built. */
struct shaper {
	int ifindex;
	double rate;        /* bytes per second */
	bool arriving;      /* on the IFB, where ingress is shaped */
	bool shaped;        /* a shaped mode's bucket and handle */
	bool change;        /* in place of pondrel's own, as found */
	unsigned tx_queues; /* of the device */
};

/*
 * A kind that does not suit the device or the kernel gives way to the
 * next of its mode, with nothing said: only a refusal is a failure.
 */
enum class built { done, refused, unsuited };

/* What holds a direction, as --status reads it back from the kernel. */
enum { LIMIT_NONE, LIMIT_OWN, LIMIT_FOREIGN };
struct counters {
	bool counted; /* the kernel gave counters */
	uint64_t bytes, packets;
	uint32_t drops, overlimits, backlog, qlen;
};

/* What a kind keeps of itself while recognising: its own file's business. */
struct kind_figures {
	alignas(8) unsigned char bytes[64];
};

/* A kind's own part of a readback, as that kind's file sees it. */
template <typename T>
T *
figures_of(struct kind_figures &f)
{
	static_assert(sizeof(T) <= sizeof(f.bytes), "figures too large");
	return reinterpret_cast<T *>(f.bytes);
}
template <typename T>
const T *
figures_of(const struct kind_figures &f)
{
	static_assert(sizeof(T) <= sizeof(f.bytes), "figures too large");
	return reinterpret_cast<const T *>(f.bytes);
}

/* The qdiscs below a root as read back: the first in full. */
struct child_status {
	int seen;       /* how many qdiscs hang below the root */
	int strays;     /* of those, any not of the first's kind and major */
	uint32_t parent;
	char kind[16];
	bool decoded;   /* its options read whole, with nothing pondrel never sets */
	struct counters count;
	struct kind_figures own;
};

struct kind;
struct limit_status {
	int state;
	/* The qdisc, or the classifier and its action, as the kernel names. */
	char kind[32];
	/* For pondrel's own: the kind that recognised it and prints it. */
	const struct kind *how;
	bool arriving; /* on the IFB, where ingress is shaped */
	bool policed;
	uint32_t handle;
	uint32_t rate;          /* bytes per second */
	uint32_t bucket;        /* bytes */
	struct framing framing; /* as given on the command line */
	uint32_t queue;         /* bytes, 0 for the policer */
	double queue_ms;
	struct counters count;
	struct child_status child;
	struct kind_figures own;
	/* The IFB that ingress goes through, if it does; a down one takes
	 * what the redirect steals and passes none of it. */
	char ifb[IFNAMSIZ];
	bool ifb_up;
};

/*
 * One kind, as tc finds each of its own by name. build sends it; decode
 * fills in what it reads and makes the state LIMIT_OWN only for what build
 * would send; claim judges what hangs below a root of pondrel's (NULL: a
 * root that takes nothing below it). print shows the limit after its
 * rate, print_figures its own figures after the counters (may be NULL);
 * each as text or as JSON keys. A child kind reads into its root's child.
 */
struct kind {
	const char *name;
	const char *mode; /* what the status view calls it */
	bool child;
	bool changes; /* a second run changes it in place */
	built (*build)(struct nl_session &nl, const struct link_terms &t,
		       const struct shaper &at);
	void (*decode)(const struct link_terms &t, struct nlattr *options,
		       struct nlattr *xstats, struct limit_status *s);
	bool (*claim)(struct limit_status *s);
	void (*print)(const struct limit_status *s, bool json);
	void (*print_figures)(const struct limit_status *s, bool json);
};
extern const struct kind tbf_kind, fq_codel_kind, cake_kind, cake_mq_kind;
extern const struct kind cake_queue_kind;
extern const struct kind police_kind;
/* The kind of that name in the table, NULL for one pondrel never makes. */
const struct kind *find_kind(const char *name, bool child);

/* The token-bucket filter's bucket, which a run's check shares. */
uint32_t tbf_burst(uint32_t rate, bool shaped);

/* cake's, which cake_mq shares: the same options, the same figures. */
nl_request cake_request(const struct link_terms &t, const struct shaper &at,
			const char *kind);
void decode_cake(const struct link_terms &t, struct nlattr *options,
		 struct nlattr *xstats, struct limit_status *s);
/* A queue's cake below a cake_mq adds its tins' figures to its root's. */
void add_cake_tins(struct nlattr *xstats, struct limit_status *s);
void print_cake(const struct limit_status *s, bool json);
void print_cake_figures(const struct limit_status *s, bool json);

/*
 * The catch-all filter on the ingress qdisc, and what it carries: the
 * policer, or a redirect (devices.h).
 */
nl_request new_catch_all_filter(int ifindex);
void decode_police(const struct link_terms &t, struct nlattr *nest,
		   struct limit_status *s);
bool decode_catch_all(struct tcmsg *tcm, struct nlattr **tb,
		      struct nlattr **opt);

/* What the kinds' printers share (print.cpp). */
void print_text(const char *text);
void print_json_string(const char *key, const char *text);
void print_counters(const struct counters *c, bool json);
void print_framing(const struct framing *f, bool json);
void print_ifb(const struct limit_status *s, bool json);

/* What the recognisers share (attrs.cpp). */
#define BIT(n) (1U << (n))
void copy_attr(struct nlattr *attr, void *to, int size);
void copy_kind(char *kind, int size, struct nlattr *attr, const char *prefix);
bool only(struct nlattr **tb, int max, unsigned int allowed);
void read_counters(struct nlattr *stats2, struct nlattr *old,
		   struct counters *c);
bool near_bucket(const struct link_terms &t, uint32_t ticks, uint32_t rate,
		 uint32_t bytes);
double distance(double a, double b);
bool read_framing(const struct tc_ratespec *r, uint32_t uncounted,
		  struct framing *f);
