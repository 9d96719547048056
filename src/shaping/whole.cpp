/*
 * What a shaped run finds in force once its requests are done. Runs on one
 * interface wait for each other, but where no lock could be had, or a
 * program that takes none was at work, another run may have changed the
 * configuration in between: the run must not then say that it succeeded.
 */
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

#include <linux/pkt_sched.h>

#include "shaping.h"
#include "../netlink/netlink.h"

/* The direction holds what the run set: none for "-", else its own root. */
static bool
holds(const struct limit_status *s, double rate, const struct limit_kind *k)
{
	uint32_t field;

	if (rate < 0)
		return s->state == LIMIT_NONE;
	field = to_u32_field(rate);
	if (s->state != LIMIT_OWN || s->how != k || s->rate != field ||
	    s->framing.overhead != link_framing.overhead ||
	    s->framing.mpu != link_framing.mpu ||
	    s->framing.atm != link_framing.atm)
		return false;
	/* A plain run's tbf at the same rate has the smaller bucket. */
	return k != &tbf_kind || s->bucket == tbf_burst(field, true);
}

/*
 * Ingress redirected to the interface's own IFB, which is up, and each
 * root as the run set it, as --status reads them.
 */
bool
configuration_holds(const struct status_view *v, double ingress,
		    double egress, bool cake)
{
	const struct limit_kind *k = cake ? &cake_kind : &tbf_kind;

	return holds(&v->ingress, ingress, k) &&
	       (ingress < 0 || v->ingress.ifb_up) &&
	       holds(&v->egress, egress, k);
}

/*
 * A redirect to a device that is gone passes nothing: it never stays. The
 * route socket's ioctl names a device by its index.
 */
void
remove_dead_redirect(const struct status_view *v)
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	ifr.ifr_ifindex = v->redirect_to;
	if (v->redirect_to == 0 ||
	    (v->redirect_to > 0 && ioctl(route_fd, SIOCGIFNAME, &ifr) != 0))
		remove_qdisc(TC_H_INGRESS, INGRESS_HANDLE);
}
