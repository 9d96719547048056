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

#include "run.h"

/*
 * The direction holds what the run set: none for "-", else a root of the
 * run's mode, or for ingress without an IFB its policer.
 */
static bool
holds(const struct run &r, const struct limit_status *s, double rate,
      bool arriving)
{
	const struct framing *f = &r.terms.framing;
	uint32_t field;

	if (rate < 0)
		return s->state == LIMIT_NONE;
	field = to_u32_field(rate);
	if (s->state != LIMIT_OWN || s->rate != field ||
	    s->framing.overhead != f->overhead || s->framing.mpu != f->mpu ||
	    s->framing.atm != f->atm)
		return false;
	/*
	 * A plain run's tbf at the same rate has the smaller bucket; at a
	 * zero rate the kernel keeps none.
	 */
	if (s->how == &tbf_kind && field != 0 &&
	    s->bucket != tbf_burst(field, r.how->ifb))
		return false;
	if (arriving && !r.how->ifb)
		return s->how == r.how->policer;
	for (const struct kind *k : r.how->roots)
		if (k == s->how)
			return true;
	return false;
}

/*
 * Ingress policed, or redirected to the interface's own IFB, which is up,
 * and each root as the run set it, as --status reads them.
 */
bool
configuration_holds(const struct run &r, const struct status_view &v,
		    double ingress, double egress)
{
	return holds(r, &v.ingress, ingress, true) &&
	       (ingress < 0 || !r.how->ifb || v.ingress.ifb_up) &&
	       holds(r, &v.egress, egress, false);
}

/*
 * A redirect to a device that is gone passes nothing: it never stays. The
 * route socket's ioctl names a device by its index.
 */
void
remove_dead_redirect(struct run &r, const struct status_view &v)
{
	struct ifreq ifr;

	memset(&ifr, 0, sizeof(ifr));
	ifr.ifr_ifindex = v.redirect_to;
	if (v.redirect_to == 0 ||
	    (v.redirect_to > 0 && ioctl(r.nl.fd, SIOCGIFNAME, &ifr) != 0))
		remove_qdisc(r.nl, r.ifindex, TC_H_INGRESS, INGRESS_HANDLE);
}
