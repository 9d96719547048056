/*
 * The controller's loop: pings in turn, reads what each direction passed,
 * decides, and changes pondrel's queue in place, holding the interface's
 * lock only while it does.
 */
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <linux/rtnetlink.h>

#include "auto.h"
#include "../devices/devices.h"

/* A ping goes out this often, to each reflector in turn. */
#define PING_S 0.125
/* A decision this often: a few round trips of a loaded link. */
#define DECIDE_S 0.25
/* How often a link that is gone is looked for. */
#define WAIT_LINK_S 1
/*
 * What a ping may wait behind in each of pondrel's queues: a full frame
 * being sent, and cake's own target, which at low rates is a frame and a
 * half (at 1 Mbit/s, 12 and 18 ms).
 */
#define FULL_FRAME 1514.0
#define FRAMES_QUEUED 3
/* Whose the queues are is read in full this often, change or none. */
#define CHECK_S 5

/*
 * Set by SIGTERM and SIGINT, which end the loop, and by SIGHUP, which
 * rereads the configuration, at the loop's next wake-up.
 */
static volatile sig_atomic_t stopping, rereading;

static void
stop(int sig)
{
	if (sig == SIGHUP)
		rereading = 1;
	else
		stopping = 1;
}

static const struct failure REPLACED = {"another run replaced the limit", 0};

/*
 * What each direction asked of its queue: the bytes that left the
 * interface, and those that arrived on it, before the IFB's queue drops
 * any. What the IFB passes would hide demand: cake counts what it drops
 * there against the rate.
 */
static bool
read_bytes(struct run &r, uint64_t *bytes)
{
	struct link_facts f = {};

	if (query_link(r.nl, r.name, read_link, &f) != 0 || f.index == 0)
		return false;
	bytes[0] = f.tx_bytes;
	bytes[1] = f.rx_bytes;
	return true;
}

/* Each driven direction's queue as the controller left it. */
static bool
as_left(const struct run &r, const struct driven *dirs,
	const struct status_view &v)
{
	for (int i = 0; i < 2; i++) {
		const struct driven *d = &dirs[i];
		const struct limit_status &s =
		    d->arriving ? v.ingress : v.egress;
		if (d->on && (!changes_in_place(r, s) ||
			      s.rate != to_u32_field(d->rate)))
			return false;
	}
	return true;
}

/*
 * Each driven direction still pondrel's, at the rate last set, or the
 * controller stops; then each new rate, in place. Between full reads
 * (where full says) only the roots are asked after, of the interface and
 * of the IFB that the last full read found (*ifb, -1 before any): a
 * dump of every device's queues and filters at each change was most of
 * the controller's CPU. Whatever the roots do not show as left is
 * judged by a full read.
 */
static struct failure
apply(struct run &r, struct driven *dirs, const double *want, bool full,
      int *ifb)
{
	struct status_view v = {};
	struct failure f = {NULL, 0};
	int lock = lock_interface(r.name);
	/* Only the roots of the directions driven: [0] egress, [1] ingress. */
	bool left = !full && *ifb >= 0 &&
		    read_roots(r.nl, dirs[0].on ? r.ifindex : 0,
			       dirs[1].on ? *ifb : 0, &r.terms, &v) &&
		    as_left(r, dirs, v);

	if (!left) {
		/*
		 * A dump that fails has been reported, and the next check
		 * may do better: a controller outlives one failed request.
		 */
		if (!read_status(r.nl, r.name, r.ifindex, &r.terms, &v)) {
			if (lock >= 0)
				close(lock);
			return r.nl.fatal;
		}
		*ifb = v.ifb;
		if (!as_left(r, dirs, v))
			f = REPLACED;
	}
	for (int i = 0; i < 2 && f.what == NULL; i++) {
		struct driven *d = &dirs[i];
		const struct limit_status &s =
		    d->arriving ? v.ingress : v.egress;
		if (d->on && want[i] != d->rate &&
		    change_root(r, d->arriving ? v.ifb : r.ifindex, want[i],
				d->arriving, s))
			d->rate = want[i];
	}
	if (lock >= 0)
		close(lock);
	return f;
}

void
note(const struct run &r, const char *what)
{
	fprintf(stderr, "pondrel: %s: %s\n", r.name, what);
}

static void
note_reflectors(const struct run &r, struct pinger &p)
{
	char line[96];

	for (int i = 0; i < p.n; i++) {
		struct reflector *x = &p.r[i];
		if (x->lost == x->said_lost)
			continue;
		x->said_lost = x->lost;
		snprintf(line, sizeof(line), "reflector %s %s",
			 inet_ntoa(x->addr),
			 x->lost ? "lost: dropped" : "answers again");
		note(r, line);
	}
}

/*
 * Waits for a link that went away, then sets both directions up again,
 * as a run does, under the lock. Its counters start anew. False only when
 * nothing more can be sent.
 */
static bool
wait_for_link(struct run &r, struct driven *dirs)
{
	struct status_view now = {};
	int lock;
	bool read;

	note(r, "gone: waiting for it");
	r.ifindex = 0;
	while (!stopping) {
		sleep(WAIT_LINK_S);
		r.ifindex = interface_index(r.nl, r.name);
		if (r.ifindex == 0)
			continue;
		/* Its queues went with it: made anew, from the least. */
		for (int i = 0; i < 2; i++) {
			dirs[i].bytes = 0;
			if (dirs[i].on)
				dirs[i].rate = dirs[i].range.min;
		}
		lock = lock_interface(r.name);
		read = read_status(r.nl, r.name, r.ifindex, &r.terms, &now);
		if (read) {
			configure_ingress(r, dirs[1].rate, now);
			configure_egress(r, dirs[0].rate, now);
		}
		if (lock >= 0)
			close(lock);
		/* A dump that failed is tried again; a run that cannot send
		 * at all ends. */
		if (r.nl.fatal.what != NULL)
			return false;
		if (!read)
			continue;
		note(r, "back: limits set up again");
		return true;
	}
	return true;
}

/*
 * Each driven direction's next rate, from what it passed since the last
 * decision; false when the interface is gone.
 */
static bool
decide_both(struct run &r, struct driven *dirs, const double *delay,
	    bool one_way, double silent, double interval, bool verbose,
	    double *want)
{
	bool floored = false;
	double load[2] = {0, 0}, own[2] = {0, 0};
	uint64_t bytes[2];
	char line[96];

	if (!read_bytes(r, bytes))
		return false;
	for (int i = 0; i < 2; i++) {
		struct driven *d = &dirs[i];
		if (!d->on)
			continue;
		/* A counter that went back is a device made anew. */
		if (d->bytes != 0 && bytes[i] >= d->bytes && d->rate > 0)
			load[i] = (double)(bytes[i] - d->bytes) /
				  (d->rate * interval);
		d->bytes = bytes[i];
		own[i] = FRAMES_QUEUED * FULL_FRAME / d->rate * 1000;
	}
	for (int i = 0; i < 2; i++) {
		struct driven *d = &dirs[i];
		want[i] = d->rate;
		if (!d->on)
			continue;
		/*
		 * Timestamps give each direction its own delay; a round trip
		 * crosses both queues, and tells neither apart.
		 */
		const auto_sample s = {load[i],
				       delay[one_way ? i : 0],
				       own[i] + (one_way ? 0 : own[1 - i]),
				       silent,
				       d->since_cut,
				       !one_way && dirs[1 - i].on &&
					   overrun(load[1 - i])};
		decision next = decide(d->range, d->rate, s);
		d->since_cut =
		    next.why == verdict::cut ? 0 : d->since_cut + interval;
		want[i] = next.rate;
		floored |= next.why == verdict::floor;
		if (verbose && next.rate != d->rate) {
			snprintf(line, sizeof(line),
				 "%s %.10g Kbit/s, delay %.1f ms, load %.2f",
				 d->arriving ? "ingress" : "egress",
				 next.rate / BYTES_PER_KBIT, s.delay_ms,
				 s.load);
			note(r, line);
		}
	}
	if (floored)
		note(r, "no answer from any reflector: the least rate");
	return true;
}

/*
 * Where a stop leaves the link: the least rates, which keep it quick when
 * it slows, or no limit where asked; either only while the queues are
 * still this controller's.
 */
static struct failure
finish(struct run &r, struct driven *dirs, bool remove)
{
	struct status_view now = {};
	double want[2];
	struct failure f = {NULL, 0};
	int lock, ifb = -1;

	/* A link still gone, or gone with the device that stopped the
	 * controller, has nothing to leave. */
	if (r.ifindex == 0 || interface_index(r.nl, r.name) != r.ifindex)
		return f;
	/* The exit status tells of these last changes alone. */
	r.nl.failed = 0;
	if (!remove) {
		for (int i = 0; i < 2; i++)
			want[i] = dirs[i].range.min;
		return apply(r, dirs, want, true, &ifb);
	}
	/* Checked and removed under one lock: a rate below zero is no
	 * limit, as "-" is to a run. */
	lock = lock_interface(r.name);
	if (!read_status(r.nl, r.name, r.ifindex, &r.terms, &now)) {
		f = r.nl.fatal;
	} else if (!as_left(r, dirs, now)) {
		f = REPLACED;
	} else {
		configure_ingress(r, -1, now);
		configure_egress(r, -1, now);
		f = r.nl.fatal;
	}
	if (lock >= 0)
		close(lock);
	return f;
}

struct failure
drive(struct run &r, struct driven *dirs, struct pinger &p,
      const struct drive_how &how)
{
	struct sigaction sa = {};
	struct pollfd pfd = {p.fd, POLLIN, 0};
	double t = now_s(), next_ping = t, last = t, checked = t, want[2];
	double delay[2], silent;
	bool one_way, due;
	struct failure f;
	int ifb = -1;

	sa.sa_handler = stop;
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGINT, &sa, NULL);
	/* With nothing to reread, a hang-up would end it with no safe rate
	 * left behind. */
	if (how.reload == NULL)
		sa.sa_handler = SIG_IGN;
	sigaction(SIGHUP, &sa, NULL);
	for (int i = 0; i < 2; i++)
		dirs[i].bytes = 0, dirs[i].since_cut = 1e9;
	while (!stopping) {
		double wake =
		    next_ping < last + DECIDE_S ? next_ping : last + DECIDE_S;
		int ms = (int)((wake - now_s()) * 1000);
		poll(&pfd, 1, ms > 0 ? ms : 0);
		t = now_s();
		if (rereading) {
			rereading = 0;
			how.reload(how.arg, r, dirs, p);
		}
		read_replies(p, t);
		if (t >= next_ping) {
			send_ping(p, t);
			next_ping = next_ping + PING_S > t ? next_ping + PING_S
							   : t + PING_S;
		}
		if (t < last + DECIDE_S)
			continue;
		one_way = link_delays(p, t, delay, &silent);
		note_reflectors(r, p);
		if (how.shared >= 0)
			share(how.shared, dirs, p, delay);
		if (!decide_both(r, dirs, delay, one_way, silent, t - last,
				 how.verbose, want)) {
			if (!wait_for_link(r, dirs))
				return r.nl.fatal;
			last = checked = now_s();
			ifb = -1;
			continue;
		}
		last = t;
		due = t - checked >= CHECK_S;
		if (want[0] != dirs[0].rate || want[1] != dirs[1].rate || due) {
			f = apply(r, dirs, want, due, &ifb);
			if (f.what != NULL)
				return f;
			if (due)
				checked = t;
		}
	}
	return finish(r, dirs, how.remove);
}
