/* The route socket and the exchange of one request for one acknowledgement. */
#include <errno.h>
#include <sys/socket.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netlink/handlers.h>
#include <netlink/socket.h>

#include "netlink.h"
#include "../cli/cli.h"

int failed_requests;

static struct nl_sock *route_sock;
static struct nl_cb *route_cb;

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

/* Outcome and policy of the request in flight, shared with the callback. */
static int pending_error;
static bool tolerate_missing;
static bool kernel_answered;

/*
 * Only acknowledgements ever arrive. Capped to the request's header, the
 * largest of them fits a small fixed buffer, which spares the library its
 * peek before each receive (a second system call) and its 16 KiB buffer
 * for each (with musl, a fresh mapping every time). A kernel that cannot
 * cap them echoes whole requests, so the library's own sizing stays then.
 */
static void
cap_acknowledgements(void)
{
	int one = 1;

	if (setsockopt(route_fd, SOL_NETLINK, NETLINK_CAP_ACK, &one,
		       sizeof(one)) != 0)
		return;
	nl_socket_disable_msg_peek(route_sock);
	nl_socket_set_msg_buf_size(route_sock, ACK_BUFFER_SIZE);
}

/*
 * The set-up, step by step. A step that fails ends the run with its report,
 * or on a first try is undone quietly, to be tried and reported later.
 */
static bool
set_up_route_socket(bool first_try)
{
	const char *step = "nl_cb_alloc";

	route_cb = nl_cb_alloc(NL_CB_DEFAULT);
	if (route_cb != NULL) {
		nl_cb_err(route_cb, NL_CB_CUSTOM, ack_error_handler, NULL);
		step = "nl_socket_alloc";
		route_sock = nl_socket_alloc_cb(route_cb);
	}
	if (route_sock != NULL) {
		/* The library's code is no errno; the report wants the
		 * system's. */
		step = "nl_connect";
		if (nl_connect(route_sock, NETLINK_ROUTE) == 0) {
			route_fd = nl_socket_get_fd(route_sock);
			cap_acknowledgements();
			nlmsg_set_default_size(REQUEST_BUFFER_SIZE);
			return true;
		}
	}
	if (!first_try)
		fatal_errno(step);
	close_route_socket();
	return false;
}

void
try_route_socket(void)
{
	if (route_sock == NULL)
		set_up_route_socket(true);
}

void
open_route_socket(void)
{
	if (route_sock == NULL)
		set_up_route_socket(false);
}

void
close_route_socket(void)
{
	/* Both take NULL, as a set-up that failed half-way leaves. */
	nl_socket_free(route_sock);
	nl_cb_put(route_cb);
	route_sock = NULL;
	route_cb = NULL;
	route_fd = -1;
}

int
ack_error_handler(struct sockaddr_nl *peer, struct nlmsgerr *err, void *arg)
{
	(void)peer;
	(void)arg;

	kernel_answered = true;
	if (!(tolerate_missing &&
	      (err->error == -EINVAL || err->error == -ENOENT)))
		pending_error = -err->error;
	/* An error is the kernel's only answer: stop, or the wait hangs. */
	return NL_STOP;
}

bool
request_failed(int err)
{
	report_error("netlink", err);
	failed_requests++;
	return false;
}

/* A call that failed without saying why must still not read as success. */
static int
errno_or_eio(void)
{
	return errno != 0 ? errno : EIO;
}

/* Sends and frees msg; false, reported, when nothing went out. */
static bool
send_request(struct nl_msg *msg, bool tolerate)
{
	int sent, send_errno;

	tolerate_missing = tolerate;
	pending_error = 0;
	kernel_answered = false;

	errno = 0;
	sent = nl_send_auto_complete(route_sock, msg);
	/* Taken before the free, which may change errno. */
	send_errno = errno_or_eio();
	nlmsg_free(msg);
	if (sent < 0)
		return request_failed(send_errno);
	return true;
}

bool
send_and_wait(struct nl_msg *msg, bool tolerate)
{
	int waited;

	/* Nothing went out, so no acknowledgement will ever come back. */
	if (!send_request(msg, tolerate))
		return false;

	errno = 0;
	waited = nl_wait_for_ack(route_sock);
	if (pending_error != 0)
		return request_failed(pending_error);
	if (waited < 0 && !kernel_answered)
		return request_failed(errno_or_eio());
	return true;
}

static bool acknowledged;

static int
note_ack(struct nl_msg *msg, void *arg)
{
	(void)msg;
	(void)arg;
	acknowledged = true;
	return NL_STOP;
}

/*
 * Sends msg and hands each answer to parse with arg: the many parts of a
 * dump up to its done message, or the one answer to a query up to its
 * acknowledgement. Returns 0, or the error that ended it, reported only
 * when report says so: a query may ask after a device that is not there.
 */
static int
exchange_answers(struct nl_msg *msg, bool dump, bool report,
		 nl_recvmsg_msg_cb_t parse, void *arg)
{
	int got, err = 0;

	if (!send_request(msg, false))
		return EIO;
	nl_cb_set(route_cb, NL_CB_VALID, NL_CB_CUSTOM, parse, arg);
	nl_socket_set_msg_buf_size(route_sock, DUMP_BUFFER_SIZE);
	errno = 0;
	if (dump) {
		got = nl_recvmsgs(route_sock, route_cb);
	} else {
		/*
		 * The answer and the acknowledgement come in two receives,
		 * and one round of the library's stops after the first.
		 */
		nl_cb_set(route_cb, NL_CB_ACK, NL_CB_CUSTOM, note_ack, NULL);
		acknowledged = false;
		do
			got = nl_recvmsgs(route_sock, route_cb);
		while (got >= 0 && !acknowledged && pending_error == 0);
		nl_cb_set(route_cb, NL_CB_ACK, NL_CB_DEFAULT, NULL, NULL);
	}
	if (pending_error != 0)
		err = pending_error;
	else if (got < 0 && !kernel_answered)
		err = errno_or_eio();
	nl_cb_set(route_cb, NL_CB_VALID, NL_CB_DEFAULT, NULL, NULL);
	if (err != 0 && report)
		request_failed(err);
	return err;
}

/*
 * The kernel answers a dump with as many messages as it holds and then a
 * done message; an error message instead means the dump failed, reported as
 * a refused request is.
 */
bool
dump_tc(int type, int ifindex, uint32_t parent, nl_recvmsg_msg_cb_t parse,
	void *arg)
{
	return exchange_answers(new_tc_request_on(ifindex, type, NLM_F_DUMP,
						  parent, 0, 0),
				true, true, parse, arg) == 0;
}

/* Every action of that kind in this network namespace, filters' too. */
bool
dump_actions(const char *kind, nl_recvmsg_msg_cb_t parse, void *arg)
{
	return exchange_answers(new_action_dump(kind), true, true, parse,
				arg) == 0;
}

/*
 * The devices of one link kind; a kernel older than the kind's filter
 * sends every device, so parse looks at the kind itself.
 */
bool
dump_links(const char *kind, nl_recvmsg_msg_cb_t parse, void *arg)
{
	struct nl_msg *msg = new_link_request(RTM_GETLINK, NLM_F_DUMP, 0, 0);
	struct nlattr *info = open_nest(msg, IFLA_LINKINFO);

	nla_put_string(msg, IFLA_INFO_KIND, kind);
	close_nest(msg, info);
	return exchange_answers(msg, true, true, parse, arg) == 0;
}

/*
 * The device of that name as this namespace knows it, whatever sysfs
 * shows. Returns 0, or the kernel's error unreported: ENODEV for no such
 * device.
 */
int
query_link(const char *name, nl_recvmsg_msg_cb_t parse, void *arg)
{
	struct nl_msg *msg = new_link_request(RTM_GETLINK, 0, 0, 0);

	nla_put_string(msg, IFLA_IFNAME, name);
	return exchange_answers(msg, false, false, parse, arg);
}
