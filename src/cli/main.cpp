/* pondrel: limit one interface's bandwidth in each direction, then exit. */
#include "cli.h"
#include "../netlink/netlink.h"
#include "../shaping/shaping.h"

/*
 * A shaped run that finds its configuration changed by another sets it up
 * again, this often at most.
 */
#define RUN_TRIES 3

int
main(int argc, char *argv[])
{
	static struct status_view now;
	double ingress, egress;
	int first = 1, lock = -1, tries;

	/* Three words are always the plain call, even with "-s" as a name. */
	if (argc != 4)
		first = parse_options(argc, argv);
	/* The view reads one interface; three words never come this far. */
	if (status_mode) {
		/* The view reads the framing back; it takes none. */
		if (argc - first != 1 || framing_given)
			show_usage();
		return show_status(argv[first]);
	}
	if (argc - first != 3)
		show_usage();
	/*
	 * Open early, the route socket answers each device's index, which
	 * spares the C library a socket of its own per name. A failure shows
	 * only at open_route_socket, after the arguments and the clock.
	 */
	try_route_socket();
	/* A run whose arguments fail changes nothing, a vanished IFB too. */
	if (shaped_mode && rates_valid(argv[first + 1], argv[first + 2])) {
		lock = lock_interface(argv[first]);
		remove_orphaned_ifb(argv[first]);
	}
	resolve_interface(argv[first]);
	ingress = parse_rate_arg(argv[first + 1]);
	egress = parse_rate_arg(argv[first + 2]);
	if (lock < 0)
		lock = lock_interface(argv[first]);

	read_psched_clock();
	open_route_socket();
	/* What is in force decides whether a cake is changed or made. */
	if (cake_mode && !read_status(&now))
		return 1;
	for (tries = 1;; tries++) {
		/* Each direction stands alone: refused ingress still shapes
		 * egress. */
		configure_ingress(ingress, &now);
		configure_egress(egress, &now);
		/* The plain call sends its requests and no more, if they all
		 * succeed. */
		if (!shaped_mode && failed_requests == 0)
			break;
		/* A dump that fails has said so; nothing more can be known. */
		if (!read_status(&now))
			break;
		if (failed_requests == 0 &&
		    configuration_holds(&now, ingress, egress, cake_mode)) {
			remove_stranded_ifbs(argv[first]);
			break;
		}
		/*
		 * A refusal has been reported, and comes again if tried. It may
		 * be another run's doing, whose redirect was left with no IFB.
		 */
		if (failed_requests != 0 || tries == RUN_TRIES) {
			remove_dead_redirect(&now);
			if (failed_requests == 0)
				report_error("another run changed the "
					     "configuration",
					     0);
			failed_requests++;
			break;
		}
	}
	close_route_socket();

	return failed_requests == 0 ? 0 : 1;
}
