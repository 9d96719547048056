/* The route socket and the exchange of one request for one acknowledgement. */
#include <errno.h>

#include <netlink/handlers.h>
#include <netlink/socket.h>

#include "netlink.h"
#include "../cli/cli.h"

int failed_requests;

static struct nl_sock *route_sock;
static struct nl_cb *route_cb;

/* Outcome and policy of the request in flight, shared with the callback. */
static int pending_error;
static bool tolerate_missing;
static bool kernel_answered;

void
open_route_socket(void)
{
	route_cb = nl_cb_alloc(NL_CB_DEFAULT);
	if (route_cb == NULL)
		fatal_errno("nl_cb_alloc");
	nl_cb_err(route_cb, NL_CB_CUSTOM, ack_error_handler, NULL);

	route_sock = nl_socket_alloc_cb(route_cb);
	if (route_sock == NULL)
		fatal_errno("nl_socket_alloc");
	/* The library's own code is no errno; the report wants the system's. */
	if (nl_connect(route_sock, NETLINK_ROUTE) != 0)
		fatal_errno("nl_connect");
}

void
close_route_socket(void)
{
	nl_socket_free(route_sock);
	nl_cb_put(route_cb);
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

bool
send_and_wait(struct nl_msg *msg, bool tolerate)
{
	int sent, waited, send_errno;

	tolerate_missing = tolerate;
	pending_error = 0;
	kernel_answered = false;

	errno = 0;
	sent = nl_send_auto_complete(route_sock, msg);
	send_errno = errno_or_eio();
	nlmsg_free(msg);
	/* Nothing went out, so no acknowledgement will ever come back. */
	if (sent < 0)
		return request_failed(send_errno);

	errno = 0;
	waited = nl_wait_for_ack(route_sock);
	if (pending_error != 0)
		return request_failed(pending_error);
	if (waited < 0 && !kernel_answered)
		return request_failed(errno_or_eio());
	return true;
}

/*
 * The kernel answers a dump with as many messages as it holds and then a
 * done message; an error message instead means the dump failed, reported as
 * a refused request is.
 */
bool
dump_tc(int type, int ifindex, uint32_t parent, nl_recvmsg_msg_cb_t parse)
{
	struct nl_msg *msg;
	int got;

	msg = new_tc_request_on(ifindex, type, NLM_F_DUMP, parent, 0, 0);
	tolerate_missing = false;
	pending_error = 0;
	errno = 0;
	got = nl_send_auto_complete(route_sock, msg);
	nlmsg_free(msg);
	if (got < 0)
		return request_failed(errno_or_eio());
	nl_cb_set(route_cb, NL_CB_VALID, NL_CB_CUSTOM, parse, NULL);
	errno = 0;
	got = nl_recvmsgs(route_sock, route_cb);
	if (pending_error != 0)
		return request_failed(pending_error);
	if (got < 0)
		return request_failed(errno_or_eio());
	return true;
}
