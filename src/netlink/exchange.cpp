/* The route socket and the exchange of one request for one acknowledgement. */
#include <errno.h>
#include <sys/socket.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netlink/handlers.h>
#include <netlink/socket.h>

#include "netlink.h"

/* A capped acknowledgement: header, error code and the request's header. */
enum { ACK_BUFFER_SIZE = 256 };

/*
 * The kernel fills each part of a dump up to the largest receive it has
 * seen, and never beyond 32 KiB: a buffer of that size takes any part
 * whole, as it must once the library no longer peeks.
 */
enum { DUMP_BUFFER_SIZE = 32768 };

/*
 * A message never grows by itself: one too small for a request cuts it
 * short. The largest, a filter with its 1 KiB rate table, takes 1144
 * bytes. The library's default of a page costs musl's allocator a fresh
 * mapping for each request; this size it serves from memory it keeps.
 */
enum { REQUEST_BUFFER_SIZE = 1536 };

/*
 * Only acknowledgements ever arrive. Capped to the request's header, the
 * largest of them fits a small fixed buffer, which spares the library its
 * peek before each receive (a second system call) and its 16 KiB buffer
 * for each (with musl, a fresh mapping every time). A kernel that cannot
 * cap them echoes whole requests, so the library's own sizing stays then.
 */
static void
cap_acknowledgements(struct nl_session &nl)
{
	int one = 1;

	if (setsockopt(nl.fd, SOL_NETLINK, NETLINK_CAP_ACK, &one,
		       sizeof(one)) != 0)
		return;
	nl_socket_disable_msg_peek(nl.sock);
	nl_socket_set_msg_buf_size(nl.sock, ACK_BUFFER_SIZE);
}

/*
 * The set-up, step by step. A step that fails is undone, and named for the
 * caller to report.
 */
static struct failure
set_up_route_socket(struct nl_session &nl)
{
	const char *step = "nl_cb_alloc";

	nl.cb = nl_cb_alloc(NL_CB_DEFAULT);
	if (nl.cb != NULL) {
		/* The handler learns of the request in flight through arg. */
		nl_cb_err(nl.cb, NL_CB_CUSTOM, ack_error_handler, &nl);
		step = "nl_socket_alloc";
		nl.sock = nl_socket_alloc_cb(nl.cb);
	}
	if (nl.sock != NULL) {
		/* The library's code is no errno; the report wants the
		 * system's. */
		step = "nl_connect";
		if (nl_connect(nl.sock, NETLINK_ROUTE) == 0) {
			nl.fd = nl_socket_get_fd(nl.sock);
			cap_acknowledgements(nl);
			nlmsg_set_default_size(REQUEST_BUFFER_SIZE);
			return {NULL, 0};
		}
	}
	struct failure f = {step, errno};
	close_route_socket(nl);
	return f;
}

void
try_route_socket(struct nl_session &nl)
{
	if (nl.sock == NULL)
		set_up_route_socket(nl);
}

struct failure
open_route_socket(struct nl_session &nl)
{
	if (nl.sock == NULL)
		return set_up_route_socket(nl);
	return {NULL, 0};
}

void
close_route_socket(struct nl_session &nl)
{
	/* Both take NULL, as a set-up that failed half-way leaves. */
	nl_socket_free(nl.sock);
	nl_cb_put(nl.cb);
	nl.sock = NULL;
	nl.cb = NULL;
	nl.fd = -1;
}

nl_session::~nl_session()
{
	close_route_socket(*this);
}

int
ack_error_handler(struct sockaddr_nl *peer, struct nlmsgerr *err, void *arg)
{
	struct nl_session *nl = (struct nl_session *)arg;
	(void)peer;

	nl->kernel_answered = true;
	if (!(nl->tolerate_missing &&
	      (err->error == -EINVAL || err->error == -ENOENT)))
		nl->pending_error = -err->error;
	/* An error is the kernel's only answer: stop, or the wait hangs. */
	return NL_STOP;
}

/* After a fatal failure nothing is sent, and nothing more is said. */
bool
request_failed(struct nl_session &nl, int err)
{
	if (nl.fatal.what == NULL && nl.report != NULL)
		nl.report("netlink", err);
	nl.failed++;
	return false;
}

/* A call that failed without saying why must still not read as success. */
static int
errno_or_eio(void)
{
	return errno != 0 ? errno : EIO;
}

/*
 * Sends the request; false when nothing went out, reported unless quiet.
 * A message that could not be had ends the run: the failure is kept for
 * the caller, and no later request goes out.
 */
static bool
send_request(struct nl_session &nl, nl_request req, bool tolerate, bool quiet)
{
	int sent, send_errno;

	nl.tolerate_missing = tolerate;
	nl.pending_error = 0;
	nl.kernel_answered = false;
	if (nl.fatal.what != NULL)
		return false;
	if (!req) {
		nl.fatal = {"nlmsg_alloc_simple", req.errno_at_alloc()};
		nl.failed++;
		return false;
	}

	errno = 0;
	sent = nl_send_auto_complete(nl.sock, req.get());
	send_errno = errno_or_eio();
	if (sent < 0)
		return quiet ? (nl.pending_error = send_errno, false)
			     : request_failed(nl, send_errno);
	return true;
}

/* The request's outcome once sent: 0, or the error that ends it. */
static int
wait_for_ack(struct nl_session &nl)
{
	int waited;

	errno = 0;
	waited = nl_wait_for_ack(nl.sock);
	if (nl.pending_error != 0)
		return nl.pending_error;
	if (waited < 0 && !nl.kernel_answered)
		return errno_or_eio();
	return 0;
}

bool
send_and_wait(struct nl_session &nl, nl_request req, bool tolerate)
{
	int err;

	/* Nothing went out, so no acknowledgement will ever come back. */
	if (!send_request(nl, handed(req), tolerate, false))
		return false;
	err = wait_for_ack(nl);
	return err == 0 || request_failed(nl, err);
}

int
send_quietly(struct nl_session &nl, nl_request req)
{
	if (!send_request(nl, handed(req), false, true))
		return nl.fatal.what != NULL ? nl.fatal.err : nl.pending_error;
	return wait_for_ack(nl);
}

static int
note_ack(struct nl_msg *msg, void *arg)
{
	(void)msg;
	((struct nl_session *)arg)->acknowledged = true;
	return NL_STOP;
}

/*
 * Sends msg and hands each answer to parse with arg: the many parts of a
 * dump up to its done message, or the one answer to a query up to its
 * acknowledgement. Returns 0, or the error that ended it, reported only
 * when report says so: a query may ask after a device that is not there.
 */
static int
exchange_answers(struct nl_session &nl, nl_request req, bool dump,
		 bool report, nl_recvmsg_msg_cb_t parse, void *arg)
{
	int got, err = 0;

	if (!send_request(nl, handed(req), false, false))
		return EIO;
	nl_cb_set(nl.cb, NL_CB_VALID, NL_CB_CUSTOM, parse, arg);
	nl_socket_set_msg_buf_size(nl.sock, DUMP_BUFFER_SIZE);
	errno = 0;
	if (dump) {
		got = nl_recvmsgs(nl.sock, nl.cb);
	} else {
		/*
		 * The answer and the acknowledgement come in two receives,
		 * and one round of the library's stops after the first.
		 */
		nl_cb_set(nl.cb, NL_CB_ACK, NL_CB_CUSTOM, note_ack, &nl);
		nl.acknowledged = false;
		do
			got = nl_recvmsgs(nl.sock, nl.cb);
		while (got >= 0 && !nl.acknowledged && nl.pending_error == 0);
		nl_cb_set(nl.cb, NL_CB_ACK, NL_CB_DEFAULT, NULL, NULL);
	}
	if (nl.pending_error != 0)
		err = nl.pending_error;
	else if (got < 0 && !nl.kernel_answered)
		err = errno_or_eio();
	nl_cb_set(nl.cb, NL_CB_VALID, NL_CB_DEFAULT, NULL, NULL);
	if (err != 0 && report)
		request_failed(nl, err);
	return err;
}

/*
 * The kernel answers a dump with as many messages as it holds and then a
 * done message; an error message instead means the dump failed, reported as
 * a refused request is.
 */
bool
dump_tc(struct nl_session &nl, int type, int ifindex, uint32_t parent,
	nl_recvmsg_msg_cb_t parse, void *arg)
{
	return exchange_answers(nl,
				new_tc_request(ifindex, type, NLM_F_DUMP,
					       parent, 0, 0),
				true, true, parse, arg) == 0;
}

/* Every action of that kind in this network namespace, filters' too. */
bool
dump_actions(struct nl_session &nl, const char *kind,
	     nl_recvmsg_msg_cb_t parse, void *arg)
{
	return exchange_answers(nl, new_action_dump(kind), true, true, parse,
				arg) == 0;
}

/*
 * The devices of one link kind; a kernel older than the kind's filter
 * sends every device, so parse looks at the kind itself.
 */
bool
dump_links(struct nl_session &nl, const char *kind,
	   nl_recvmsg_msg_cb_t parse, void *arg)
{
	nl_request req = new_link_request(RTM_GETLINK, NLM_F_DUMP, 0, 0);

	if (req) {
		struct nlattr *info = open_nest(req.get(), IFLA_LINKINFO);
		nla_put_string(req.get(), IFLA_INFO_KIND, kind);
		close_nest(req.get(), info);
	}
	return exchange_answers(nl, handed(req), true,
				true, parse, arg) == 0;
}

/*
 * The device of that name as this namespace knows it, whatever sysfs
 * shows. Returns 0, or the kernel's error unreported: ENODEV for no such
 * device.
 */
int
query_link(struct nl_session &nl, const char *name,
	   nl_recvmsg_msg_cb_t parse, void *arg)
{
	nl_request req = new_link_request(RTM_GETLINK, 0, 0, 0);

	if (req)
		nla_put_string(req.get(), IFLA_IFNAME, name);
	return exchange_answers(nl, handed(req), false,
				false, parse, arg);
}

/*
 * The one qdisc at parent, asked for rather than dumped with every
 * device's: far less for the kernel to gather. Older kernels answer such
 * a request only to the listeners of tc's changes unless it asks for an
 * echo. Returns 0, or the kernel's error unreported.
 */
int
query_tc(struct nl_session &nl, int type, int ifindex, uint32_t parent,
	 nl_recvmsg_msg_cb_t parse, void *arg)
{
	return exchange_answers(
	    nl, new_tc_request(ifindex, type, NLM_F_ECHO, parent, 0, 0), false,
	    false, parse, arg);
}
