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

/* The alias that marks an IFB as pondrel's: the prefix, then the interface. */
#define IFB_MARK_PREFIX "pondrel ingress of "
#define IFB_MARK_SIZE (sizeof(IFB_MARK_PREFIX) + IFNAMSIZ)

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
void fill_rate_table(struct tc_ratespec *spec, rate_table table);

bool remove_qdisc(uint32_t parent, uint32_t handle);
bool remove_qdisc_on(int ifindex, uint32_t parent, uint32_t handle);
uint32_t tbf_burst(double rate);
bool add_tbf(int ifindex, double rate, uint32_t burst);

void ifb_name(const char *iface, char name[IFNAMSIZ]);
int find_own_ifb(const char *iface, char name[IFNAMSIZ]);
int make_ifb(const char *iface);
bool remove_ifb(int ifindex);
void remove_orphaned_ifb(const char *iface);

/* What holds a direction, as --status reads it back from the kernel. */
enum { LIMIT_NONE, LIMIT_OWN, LIMIT_FOREIGN };
struct limit_status {
	int state;
	/* The qdisc, or the classifier and its action, as the kernel names. */
	char kind[32];
	bool policed;
	bool counted;    /* the kernel gave counters */
	uint32_t rate;   /* bytes per second */
	uint32_t bucket; /* bytes */
	uint32_t queue;  /* bytes, 0 for the policer */
	double queue_ms;
	uint64_t bytes, packets;
	uint32_t drops, overlimits, backlog, qlen;
};
extern struct limit_status egress_status, ingress_status;
/* The interface's own IFB, if any: only a redirect there can be ours. */
extern int status_ifb;
extern char status_ifb_name[IFNAMSIZ];

struct nl_msg;
void begin_status(void);
int decode_qdisc(struct nl_msg *msg, void *arg);
int decode_filter(struct nl_msg *msg, void *arg);
void judge_ingress(void);
void read_status(void);

void configure_ingress(double rate);
void configure_egress(double rate);
