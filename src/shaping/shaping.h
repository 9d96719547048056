/* Shaping: the scheduler clock, rate tables and the two directions' setups. */
#pragma once

#include <stdint.h>

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

extern double ticks_per_second;

void read_psched_clock(void);
uint32_t to_u32_field(double x);
double xmit_ticks(double size, uint32_t rate);
void fill_rate_table(struct tc_ratespec *spec, rate_table table);

bool remove_qdisc(uint32_t parent, uint32_t handle);
void configure_ingress(double rate);
void configure_egress(double rate);
