/* pondrel: limit one interface's bandwidth in each direction, then exit. */
#include "cli.h"
#include "../netlink/netlink.h"
#include "../shaping/shaping.h"

int
main(int argc, char *argv[])
{
	double ingress, egress;

	if (argc != 4)
		show_usage();
	resolve_interface(argv[1]);
	ingress = parse_rate_arg(argv[2]);
	egress = parse_rate_arg(argv[3]);

	read_psched_clock();
	open_route_socket();
	/* Each direction stands alone: refused ingress still shapes egress. */
	configure_ingress(ingress);
	configure_egress(egress);
	close_route_socket();

	return failed_requests == 0 ? 0 : 1;
}
