/*
 * The controller: a rate that follows the link's capacity, cut when the
 * delay to the reflectors grows under load and raised while the link is
 * busy and the delay low, between the two ends that the user gave.
 */
#pragma once

#include <stdint.h>

#include <netinet/in.h>

#include "../run/run.h"

/* The ends of a driven direction, in bytes per second. */
struct auto_range {
	double min, max;
};

/* What the rule sees of one direction at each decision. */
struct auto_sample {
	double load; /* what passed over the interval, as a share of the rate */
	double delay_ms; /* the reflectors' delay above their baselines */
	double
	    own_ms; /* of it, a full frame's time in each of pondrel's queues */
	double silent_s; /* since any reflector last answered */
	double since_cut_s;
	bool other_overrun; /* the other direction loaded but below its rate */
};

enum class verdict { hold, cut, raise, floor };
struct decision {
	double rate;
	verdict why;
};

decision decide(const auto_range &range, double rate, const auto_sample &s);
/* Loaded, but passing less than its rate: the link's queue holds the rest. */
bool overrun(double load);

/* The reflectors, asked in turn on one socket. */
#define REFLECTORS_MAX 8
struct reflector {
	struct in_addr addr;
	/* Leaving, arriving (from timestamps) and the round trip, each
	 * below -1e8 until a first answer. */
	double baseline_ms[3];
	double delay_ms[2];    /* the last answer's, above the baselines */
	double sent, answered; /* seconds; answered below zero for never */
	int stamp_tries;
	bool stamps, waiting, lost, said_lost;
};
struct pinger {
	int fd;
	bool raw;
	uint16_t ident, seq;
	int n, next;
	struct reflector r[REFLECTORS_MAX];
};

double now_s(void);
bool open_pinger(struct pinger &p);
/* These n in place of those before; one asked before keeps its state. */
void set_reflectors(struct pinger &p, const struct in_addr *addrs, int n);
void send_ping(struct pinger &p, double now);
void read_replies(struct pinger &p, double now);
/* True when every fresh answer told the two directions apart. */
bool link_delays(struct pinger &p, double now, double *delay, double *silent_s);

/* A direction as the controller drives it; [0] egress, [1] ingress. */
struct driven {
	bool on, arriving;
	struct auto_range range;
	double rate; /* in force */
	double since_cut;
	uint64_t bytes;
};

/* How a controller runs, as its command line asked. */
struct drive_how {
	bool verbose; /* tell each change of rate */
	bool remove;  /* end with no limit, not with the least rates */
	int shared;   /* what --status reads, or -1 */
	/* On SIGHUP, where given: the ranges and reflectors anew. */
	void (*reload)(void *arg, const struct run &r, struct driven *dirs,
		       struct pinger &p);
	void *arg;
};

/*
 * Until SIGTERM or SIGINT, which leave each driven direction at its least
 * rate, or remove the limits; a failure, such as another run's limit in
 * place of its own, ends it sooner.
 */
struct failure drive(struct run &r, struct driven *dirs, struct pinger &p,
		     const struct drive_how &how);
/* One line on standard error about the interface, as the controller's are. */
void note(const struct run &r, const char *what);

/* What a running controller shares with --status (share.cpp). */
struct auto_shared {
	uint32_t magic;
	bool on[2];
	struct auto_range range[2];
	double delay_ms[2];
	int reflectors;
	struct in_addr addr[REFLECTORS_MAX];
	uint8_t state[REFLECTORS_MAX]; /* silent, answering, lost */
	bool stamps[REFLECTORS_MAX];
};
/* The controller's file, locked while it runs; -1 where none can be had. */
int open_shared(const char *name);
void share(int fd, const struct driven *dirs, const struct pinger &p,
	   const double *delay);
/* False where no controller runs for the interface. */
bool read_shared(const char *name, struct auto_shared *s);
void print_shared(const struct auto_shared &s, bool json);
