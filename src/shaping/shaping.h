/* Shaping: the scheduler clock, rate tables and the two directions' setups. */
#pragma once

#include <stdint.h>

#include <net/if.h>

#include <linux/pkt_sched.h>

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
 * below it in the tbf's one class.
 */
#define TBF_HANDLE 0x00010000U
#define FAIR_QUEUE_PARENT (TBF_HANDLE | 1)
#define FAIR_QUEUE_HANDLE 0x00020000U

/* The alias that marks an IFB as pondrel's: the prefix, then the interface. */
#define IFB_MARK_PREFIX "pondrel ingress of "
#define IFB_MARK_SIZE (sizeof(IFB_MARK_PREFIX) + IFNAMSIZ)

/*
 * The link's own framing (--overhead, --mpu, --atm), which every rate
 * record of a run carries: a packet costs the length that the kernel
 * counts plus the overhead, at least the minimum unit, and on ATM whole
 * 53-byte cells of 48 bytes each. framing_given says that any of the three
 * options came, and only then is the policer's count corrected.
 */
struct framing {
	uint16_t overhead, mpu;
	bool atm;
};
extern struct framing link_framing;
extern bool framing_given;

extern double ticks_per_second;
/* Where the devices' attributes are read; tests point it elsewhere. */
extern const char *sysfs_net_dir;

/*
 * The clock's text as the file holds it, into ticks_per_second; fatal when
 * it lacks the three fields. read_psched_clock reads the file into it.
 */
void parse_psched_clock(const char *text);
void read_psched_clock(void);
uint32_t to_u32_field(double x);
double xmit_ticks(double size, uint32_t rate);
double link_bytes(uint32_t size, const struct framing *f);
void fill_rate_table(struct tc_ratespec *spec, rate_table table,
		     uint32_t uncounted);

bool remove_qdisc(uint32_t parent, uint32_t handle);
bool remove_qdisc_on(int ifindex, uint32_t parent, uint32_t handle);
bool shape_root(int ifindex, double rate, bool arriving);

/* The token-bucket filter (tbf.cpp): both modes' buckets and its queue. */
uint32_t tbf_burst(uint32_t rate, bool shaped);
double tbf_limit(double rate, uint32_t burst);
bool add_tbf(int ifindex, double rate, uint32_t handle, uint32_t burst);

/* The fair queue under the shaped mode's tbfs (fair_queue.cpp). */
struct fair_queue_params {
	uint32_t target_us, interval_us, limit, memory_limit, ecn;
};
void fair_queue_rule(uint32_t rate, struct fair_queue_params *p);
bool add_fair_queue(int ifindex, uint32_t rate);

/*
 * cake (cake.cpp), the --cake mode's queue in either direction: what
 * pondrel sets, by the direction that it queues. A change keeps the
 * qdisc, its handle, counters and queued packets.
 */
#define CAKE_HANDLE 0x00010000U
struct cake_params {
	uint32_t flow_mode, diffserv, rtt_us, nat, ingress, split_gso;
	struct framing framing;
	bool raw; /* counts whole frames: no framing option came */
};
void cake_rule(bool arriving, uint64_t rate, struct cake_params *p);
bool add_cake(int ifindex, double rate, bool arriving, bool change);

/* The catch-all filter on the ingress qdisc and what it carries. */
struct nl_msg *new_catch_all_filter(void);
void add_police_filter(double rate);
uint32_t uncounted_header(void);
bool add_redirect_filter(int ifb);

bool read_attr(const char *dev, const char *attr, char *buf, int size);
unsigned int sysfs_index(const char *dev);
void ifb_name(const char *iface, char name[IFNAMSIZ]);
/* The interface's own IFB as the kernel holds it, index 0 for none. */
struct ifb_found {
	int index;
	bool up;
	char name[IFNAMSIZ];
};
int find_own_ifb(const char *iface, struct ifb_found *found);
/* What the kernel says of a device that may be an IFB of ours. */
struct link_facts {
	int index;
	bool ifb, up, has_alias, birth_address;
	char alias[IFB_MARK_SIZE + 1]; /* one more: a longer alias is not ours */
	const uint8_t *want_address;
};
struct nl_msg;
int read_link(struct nl_msg *msg, void *arg);
int make_ifb(const char *iface);
bool remove_ifb(int ifindex);
void remove_orphaned_ifb(const char *iface);
void remove_stranded_ifbs(const char *iface);

/* What holds a direction, as --status reads it back from the kernel. */
enum { LIMIT_NONE, LIMIT_OWN, LIMIT_FOREIGN };
struct counters {
	bool counted; /* the kernel gave counters */
	uint64_t bytes, packets;
	uint32_t drops, overlimits, backlog, qlen;
};
/* A tbf's child as read back: its kind, parameters and the fair queue's own
 * counters. */
struct child_status {
	int seen; /* how many qdiscs hang below the tbf */
	uint32_t parent;
	char kind[16];
	bool decoded; /* its options read whole, with nothing pondrel never sets
		       */
	struct fair_queue_params params;
	struct counters count;
	uint32_t ecn_marks, new_flows, memory_used;
};
/* What cake decides by itself, and its figures summed over its tins. */
struct cake_status {
	struct cake_params params;
	uint32_t delay_us, peak_delay_us; /* the slowest tin's */
	uint32_t drops, ecn_marks, backlog, qlen;
};
struct limit_kind;
struct limit_status {
	int state;
	/* The qdisc, or the classifier and its action, as the kernel names. */
	char kind[32];
	/* For pondrel's own: the kind that recognised it and prints it. */
	const struct limit_kind *how;
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
	struct cake_status cake;
	/* The IFB that ingress goes through, if it does; a down one takes
	 * what the redirect steals and passes none of it. */
	char ifb[IFNAMSIZ];
	bool ifb_up;
};

/*
 * One kind of limit as --status knows it, found by the kernel's name for
 * it: its recogniser and its printers sit in the file that builds it. A
 * child kind hangs below a root and reads into that root's child. print
 * shows the limit after its rate, print_figures its own figures after the
 * counters (may be NULL); each as text or as JSON keys.
 */
struct limit_kind {
	const char *name;
	const char *mode; /* what the status view calls it */
	bool child;
	void (*decode)(struct nlattr *options, struct nlattr *xstats,
		       struct limit_status *s);
	void (*print)(const struct limit_status *s, bool json);
	void (*print_figures)(const struct limit_status *s, bool json);
};
extern const struct limit_kind tbf_kind, fair_queue_kind, cake_kind;
extern const struct limit_kind police_kind;

/* Both directions as the dumps show them, passed to each dump's parser. */
struct status_view {
	struct limit_status egress, ingress;
	/* The ingress side, gathered over two dumps and judged after both. */
	struct limit_status ifb_root;
	int ifb; /* the interface's own IFB, if any: only a redirect there
		    can be ours */
	char ifb_name[IFNAMSIZ];
	bool ifb_up;
	char ingress_qdisc[16];
	int ingress_filters;
	bool redirected;
	/*
	 * Where a lone mirred action sends, -1 for none; 0 once its device
	 * is gone, as the kernel reports it then.
	 */
	int redirect_to;
};

void begin_status(struct status_view *v);
int decode_qdisc(struct nl_msg *msg, void *arg);
int decode_filter(struct nl_msg *msg, void *arg);
void judge_status(struct status_view *v);
bool read_status(struct status_view *v);

/*
 * Each kind's recogniser, beside its builder: it fills in what it reads
 * and makes the state LIMIT_OWN only for what the builder would send.
 */
bool claim_fair_queue(struct child_status *c, uint32_t rate);
void decode_police(struct nlattr *nest, struct limit_status *s);
bool decode_redirect(struct nlattr *nest, int ifb, struct limit_status *s,
		     int *to);
struct tcmsg;
bool decode_catch_all(struct tcmsg *tcm, struct nlattr **tb,
		      struct nlattr **opt);

/* What the kinds' printers share (show.cpp). */
void print_text(const char *text);
void print_json_string(const char *key, const char *text);
void print_counters(const struct counters *c, bool json);
void print_framing(const struct framing *f, bool json);
void print_ifb(const struct limit_status *s, bool json);

/* What the recognisers share (decode.cpp). */
#define BIT(n) (1U << (n))
void copy_attr(struct nlattr *attr, void *to, int size);
void copy_kind(char *kind, int size, struct nlattr *attr, const char *prefix);
bool only(struct nlattr **tb, int max, unsigned int allowed);
void read_counters(struct nlattr *stats2, struct nlattr *old,
		   struct counters *c);
bool near_bucket(uint32_t ticks, uint32_t rate, uint32_t bytes);
double distance(double a, double b);
bool read_framing(const struct tc_ratespec *r, uint32_t uncounted,
		  struct framing *f);

bool configuration_holds(const struct status_view *v, double ingress,
			 double egress, bool cake);
void remove_dead_redirect(const struct status_view *v);

void configure_ingress(double rate, const struct status_view *now);
void configure_egress(double rate, const struct status_view *now);
