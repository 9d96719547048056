/* pondrel: limit one interface's bandwidth in each direction, then exit. */
#include "cli.h"
#include "../netlink/netlink.h"
#include "../shaping/shaping.h"

int
main(int argc, char *argv[])
{
	static struct status_view now;
	double ingress, egress;
	int first = 1;

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
		lock_interface(argv[first]);
		remove_orphaned_ifb(argv[first]);
	}
	resolve_interface(argv[first]);
	ingress = parse_rate_arg(argv[first + 1]);
	egress = parse_rate_arg(argv[first + 2]);
	lock_interface(argv[first]);

	read_psched_clock();
	open_route_socket();
	/* What is in force decides whether a cake is changed or made. */
	if (cake_mode)
		read_status(&now);
	/* Each direction stands alone: refused ingress still shapes egress. */
	configure_ingress(ingress, &now);
	configure_egress(egress, &now);
	close_route_socket();

	return failed_requests == 0 ? 0 : 1;
}
