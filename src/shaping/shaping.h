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

void configure_ingress(double rate);
void configure_egress(double rate);
