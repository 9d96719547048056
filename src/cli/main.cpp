/* pondrel: limit one interface's bandwidth in each direction, then exit. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "cli.h"
#include "../devices/devices.h"

/*
 * A shaped run that finds its configuration changed by another sets it up
 * again, this often at most.
 */
#define RUN_TRIES 3

/*
 * pondrel-auto, the controller of a rate range, is this file built with
 * PONDREL_CONTROLLER=1 and the controller linked in. The one-shot call
 * leaves that code out, to stay small on a board, and hands a range over.
 */
#ifndef PONDREL_CONTROLLER
#define PONDREL_CONTROLLER 0
#endif
constexpr bool controller = PONDREL_CONTROLLER;

/* The clock and the socket, each fatal when it cannot be had. */
static void
prepare(struct run &r)
{
	struct failure f;

	if (!read_psched_clock(&r.terms.ticks_per_second))
		fatal({"error reading " PSCHED_PATH, errno});
	f = open_route_socket(r.nl);
	if (f.what != NULL)
		fatal(f);
}

/*
 * Runs pondrel-auto beside this binary, or in the installed place where
 * /proc is missing, with the same words: still one process.
 */
[[noreturn]] static void
hand_off(char *argv[])
{
	char path[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
	char *slash = n > 0 && n < (ssize_t)sizeof(path)
			  ? (char *)memrchr(path, '/', n)
			  : NULL;

	if (slash != NULL &&
	    slash + sizeof("/pondrel-auto") < path + sizeof(path))
		memcpy(slash, "/pondrel-auto", sizeof("/pondrel-auto"));
	else
		memcpy(path, PONDREL_AUTO_PATH, sizeof(PONDREL_AUTO_PATH));
	execv(path, argv);
	fatal({path, errno});
}

static void
print_controller(const void *arg, bool json)
{
	print_shared(*(const struct auto_shared *)arg, json);
}

/*
 * Only reads: every dump is open to any user, so no privilege is needed.
 * What a controller of the interface shares is root's to read, and
 * pondrel-auto's to show. Apart from main, so that its view takes no room
 * in the stack of a run that sets limits.
 */
[[gnu::noinline]] static int
show_status(struct run &r, bool json, char *argv[])
{
	struct status_view v = {};
	struct auto_shared shared;
	int fd;

	if constexpr (!controller) {
		fd = open_run_file(r.name, ".auto", O_RDONLY);
		if (fd >= 0) {
			close(fd);
			hand_off(argv);
		}
	}
	try_route_socket(r.nl);
	r.ifindex = resolve_interface(r.nl, r.name);
	r.terms.header = uncounted_header(SYSFS_NET, r.name, r.ifindex);
	prepare(r);
	if (!read_status(r.nl, r.name, r.ifindex, &r.terms, &v)) {
		if (r.nl.fatal.what != NULL)
			fatal(r.nl.fatal);
		return 1;
	}
	if constexpr (controller)
		print_status(r.name, &v, json,
			     read_shared(r.name, &shared) ? print_controller
							  : NULL,
			     &shared);
	else
		print_status(r.name, &v, json, NULL, NULL);
	return 0;
}

/*
 * How many transmit and receive queues the interface has: 1 if unknown.
 * A kernel built without receive steering does not tell its receive
 * queues; the transmit queues stand for them then.
 */
static void
count_queues(struct run &r)
{
	struct link_facts f = {};

	r.tx_queues = r.rx_queues = 1;
	if (query_link(r.nl, r.name, read_link, &f) == 0 && f.index != 0) {
		r.tx_queues = f.tx_queues;
		r.rx_queues = f.rx_queues != 0 ? f.rx_queues : f.tx_queues;
	}
}

/*
 * Sets both directions up, and checks what holds once done: another run
 * may have changed it meanwhile. The plain call that succeeds under the
 * lock sends its requests and no more.
 */
static void
configure(struct run &r, double ingress, double egress, struct status_view &now,
	  bool locked)
{
	for (int tries = 1;; tries++) {
		/* Each direction stands alone: refused ingress still shapes
		 * egress. */
		configure_ingress(r, ingress, now);
		configure_egress(r, egress, now);
		if ((r.how == &plain_mode && r.nl.failed == 0 && locked) ||
		    r.nl.fatal.what != NULL)
			return;
		/* A dump that fails has said so; nothing more can be known. */
		if (!read_status(r.nl, r.name, r.ifindex, &r.terms, &now))
			return;
		if (r.nl.failed == 0 &&
		    configuration_holds(r, now, ingress, egress)) {
			remove_stranded_ifbs(r.nl, r.name);
			return;
		}
		/*
		 * A refusal has been reported, and comes again if tried. It may
		 * be another run's doing, whose redirect was left with no IFB.
		 */
		if (r.nl.failed != 0 || tries == RUN_TRIES) {
			remove_dead_redirect(r, now);
			if (r.nl.failed == 0)
				report_error("another run changed the "
					     "configuration",
					     0);
			r.nl.failed++;
			return;
		}
	}
}

/* A rate, "-", or with --cake a range to drive. */
static bool
arg_valid(const char *text, bool shaped, bool ranges)
{
	struct auto_range range;
	double rate;

	return check_rate_arg(text, shaped, &rate) == rate_check::ok ||
	       (ranges && parse_range_arg(text, &range));
}

int
main(int argc, char *argv[])
{
	struct status_view now = {};
	struct run r = {};
	struct options o = {};
	struct driven dirs[2] = {};
	double ingress, egress;
	int first = 1, lock = -1;
	bool shaped, ranges;

	if constexpr (controller)
		watch_start();
	o.how = &plain_mode;
	/* Three words are always the plain call, even with "-s" as a name. */
	if (argc != 4)
		first = parse_options(argc, argv, &o);
	r.how = o.how;
	r.terms.framing = o.framing;
	r.terms.given = o.framing_given;
	r.nl.report = report_error;
	r.name = argv[first];
	/* The view reads one interface; three words never come this far. */
	if (o.status) {
		/* The view reads the framing back; it takes none. */
		if (argc - first != 1 || o.framing_given)
			show_usage();
		return show_status(r, o.json, argv);
	}
	if (argc - first != 3)
		show_usage();
	shaped = r.how->ifb;
	/* A range is driven by changing cake in place: --cake only. */
	ranges = r.how == &cake_mode;
	dirs[0].on = ranges && parse_range_arg(argv[first + 2], &dirs[0].range);
	dirs[1].on = ranges && parse_range_arg(argv[first + 1], &dirs[1].range);
	dirs[1].arriving = true;
	if constexpr (!controller) {
		if (dirs[0].on || dirs[1].on)
			hand_off(argv);
	}
	/*
	 * Open early, the route socket answers each device's index, which
	 * spares the C library a socket of its own per name. A failure shows
	 * only once the arguments and the clock have been checked.
	 */
	try_route_socket(r.nl);
	/* A run whose arguments fail changes nothing, a vanished IFB too. */
	if (shaped && arg_valid(argv[first + 1], shaped, ranges) &&
	    arg_valid(argv[first + 2], shaped, ranges)) {
		lock = lock_interface(r.name);
		remove_orphaned_ifb(r.nl, r.name);
	}
	r.ifindex = resolve_interface(r.nl, r.name);
	ingress = dirs[1].on ? dirs[1].range.min
			     : parse_rate_arg(argv[first + 1], shaped);
	egress = dirs[0].on ? dirs[0].range.min
			    : parse_rate_arg(argv[first + 2], shaped);
	dirs[0].rate = egress;
	dirs[1].rate = ingress;
	if (lock < 0)
		lock = lock_interface(r.name);
	/* Read once, before any request: only framing and the view use it. */
	if (r.terms.given || shaped)
		r.terms.header = uncounted_header(SYSFS_NET, r.name, r.ifindex);

	prepare(r);
	if (r.how->queues)
		count_queues(r);
	/*
	 * Where the mode's queue changes in place, what is in force decides
	 * whether it is changed or made.
	 */
	if (r.how->roots[0]->changes &&
	    !read_status(r.nl, r.name, r.ifindex, &r.terms, &now)) {
		if (r.nl.fatal.what != NULL)
			fatal(r.nl.fatal);
		return 1;
	}
	configure(r, ingress, egress, now, lock >= 0);
	if (r.nl.fatal.what != NULL)
		fatal(r.nl.fatal);
	/* Until a reflector answers, each range holds its least rate. */
	if constexpr (controller) {
		if ((dirs[0].on || dirs[1].on) && r.nl.failed == 0) {
			if (lock >= 0)
				close(lock);
			return drive_ranges(r, o, dirs);
		}
	}
	close_route_socket(r.nl);

	return r.nl.failed == 0 ? 0 : 1;
}
