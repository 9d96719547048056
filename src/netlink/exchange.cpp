/*
 * The route socket and the exchange of one request for its answers. The
 * library builds and parses the messages; the socket is a plain one of our
 * own, which asks the kernel for nothing a run does not use: the library's
 * set-up binds a port of its choosing, sizes both buffers and reads the
 * process id and the time, seven system calls a run pays for nothing.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include "netlink.h"

/* A capped acknowledgement: header, error code and the request's header. */
enum { ACK_BUFFER_SIZE = 256 };

/*
 * The kernel fills each part of a dump up to the largest receive it has
 * seen, and never beyond 32 KiB: a buffer of that size takes any part
 * whole.
 */
static const size_t DUMP_BUFFER_SIZE = 32768;

/*
 * A message never grows by itself: one too small for a request cuts it
 * short. The largest, a filter with its 1 KiB rate table, takes 1144
 * bytes. The library's default of a page costs musl's allocator a fresh
 * mapping for each request; this size it serves from memory it keeps.
 */
enum { REQUEST_BUFFER_SIZE = 1536 };

/* An answer that does not end the exchange. */
enum { READ_ON = -1 };

/*
 * Acknowledgements capped to the request's header fit a small buffer on
 * the stack; a kernel older than 4.3 echoes whole requests, and gets the
 * large one. The kernel numbers the socket itself on the first request.
 * A socket that cannot be had is reported with the words it always was.
 */
static struct failure
set_up_route_socket(struct nl_session &nl)
{
	int one = 1;

	nl.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (nl.fd < 0)
		return {"nl_connect", errno};
	nl.capped = setsockopt(nl.fd, SOL_NETLINK, NETLINK_CAP_ACK, &one,
			       sizeof(one)) == 0;
	nlmsg_set_default_size(REQUEST_BUFFER_SIZE);
	return {NULL, 0};
}

void
try_route_socket(struct nl_session &nl)
{
	if (nl.fd < 0)
		set_up_route_socket(nl);
}

struct failure
open_route_socket(struct nl_session &nl)
{
	if (nl.fd < 0)
		return set_up_route_socket(nl);
	return {NULL, 0};
}

void
close_route_socket(struct nl_session &nl)
{
	if (nl.fd >= 0)
		close(nl.fd);
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

	nl->absent = nl->tolerate_missing &&
		     (err->error == -EINVAL || err->error == -ENOENT);
	if (!nl->absent)
		nl->pending_error = -err->error;
	/* An error is the kernel's only answer: it ends the wait. */
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
 * the caller, and no later request goes out. Every request asks for an
 * acknowledgement, and carries the next number, which its answers echo.
 */
static bool
send_request(struct nl_session &nl, nl_request req, bool tolerate, bool quiet)
{
	struct nlmsghdr *hdr;
	ssize_t sent;
	int send_errno;

	nl.tolerate_missing = tolerate;
	nl.pending_error = 0;
	nl.absent = false;
	if (nl.fatal.what != NULL)
		return false;
	if (!req) {
		nl.fatal = {"nlmsg_alloc_simple", req.errno_at_alloc()};
		nl.failed++;
		return false;
	}
	hdr = nlmsg_hdr(req.get());
	hdr->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
	hdr->nlmsg_seq = ++nl.seq;
	errno = 0;
	do
		sent = send(nl.fd, hdr, hdr->nlmsg_len, 0);
	while (sent < 0 && errno == EINTR);
	send_errno = errno_or_eio();
	if (sent != (ssize_t)hdr->nlmsg_len)
		return quiet ? (nl.pending_error = send_errno, false)
			     : request_failed(nl, send_errno);
	return true;
}

/*
 * One answer to the request in flight: READ_ON, or the end of the
 * exchange, 0 or its error. Data goes to parse, with arg. An answer to an
 * earlier request, left unread where its wait failed, is passed over.
 */
static int
take_answer(struct nl_session &nl, struct nlmsghdr *hdr,
	    nl_recvmsg_msg_cb_t parse, void *arg, bool *interrupted)
{
	struct nl_msg *msg;

	if (hdr->nlmsg_seq != nl.seq || hdr->nlmsg_type == NLMSG_NOOP)
		return READ_ON;
	if (hdr->nlmsg_flags & NLM_F_DUMP_INTR)
		*interrupted = true;
	if (hdr->nlmsg_type == NLMSG_ERROR) {
		if (hdr->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr)))
			return EIO;
		struct nlmsgerr *err = (struct nlmsgerr *)NLMSG_DATA(hdr);
		if (err->error != 0)
			ack_error_handler(NULL, err, &nl);
		return nl.pending_error;
	}
	/* The end of a dump, with the error that cut it short, if any. */
	if (hdr->nlmsg_type == NLMSG_DONE) {
		int error = 0;
		if (hdr->nlmsg_len >= NLMSG_LENGTH(sizeof(error)))
			memcpy(&error, NLMSG_DATA(hdr), sizeof(error));
		return error < 0 ? -error : 0;
	}
	if (hdr->nlmsg_type == NLMSG_OVERRUN)
		return EIO;
	if (parse == NULL)
		return READ_ON;
	msg = nlmsg_convert(hdr);
	if (msg == NULL)
		return ENOMEM;
	parse(msg, arg);
	nlmsg_free(msg);
	return READ_ON;
}

/*
 * Reads until an answer ends the exchange: the acknowledgement or the
 * error of a request or a query, or the end of a dump. A dump that the
 * kernel marks as changed while it was taken is read whole and fails.
 * Returns 0, or the error that ended it.
 */
static int
read_into(struct nl_session &nl, char *buf, size_t size,
	  nl_recvmsg_msg_cb_t parse, void *arg)
{
	int end = READ_ON, len;
	bool interrupted = false;
	ssize_t got;

	while (end == READ_ON) {
		errno = 0;
		got = recv(nl.fd, buf, size, MSG_TRUNC);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return errno_or_eio();
		/* An answer larger than the buffer would be read cut short. */
		if ((size_t)got > size)
			return EMSGSIZE;
		len = (int)got;
		for (struct nlmsghdr *hdr = (struct nlmsghdr *)buf;
		     end == READ_ON && NLMSG_OK(hdr, len);
		     hdr = NLMSG_NEXT(hdr, len))
			end = take_answer(nl, hdr, parse, arg, &interrupted);
	}
	return end == 0 && interrupted ? EIO : end;
}

/*
 * The answers to the request in flight, each to parse with arg (NULL
 * where only the outcome counts): 0, or the error that ends them. Capped
 * acknowledgements alone fit the small buffer on the stack.
 */
static int
read_answers(struct nl_session &nl, nl_recvmsg_msg_cb_t parse, void *arg)
{
	alignas(struct nlmsghdr) char small[ACK_BUFFER_SIZE];
	char *buf;
	int err;

	if (parse == NULL && nl.capped)
		return read_into(nl, small, sizeof(small), NULL, NULL);
	buf = (char *)malloc(DUMP_BUFFER_SIZE);
	if (buf == NULL)
		return ENOMEM;
	err = read_into(nl, buf, DUMP_BUFFER_SIZE, parse, arg);
	free(buf);
	return err;
}

bool
send_and_wait(struct nl_session &nl, nl_request req, bool tolerate)
{
	int err;

	/* Nothing went out, so no acknowledgement will ever come back. */
	if (!send_request(nl, handed(req), tolerate, false))
		return false;
	err = read_answers(nl, NULL, NULL);
	return err == 0 || request_failed(nl, err);
}

int
send_quietly(struct nl_session &nl, nl_request req)
{
	if (!send_request(nl, handed(req), false, true))
		return nl.fatal.what != NULL ? nl.fatal.err : nl.pending_error;
	return read_answers(nl, NULL, NULL);
}

/*
 * Sends msg and hands each answer to parse with arg: the many parts of a
 * dump up to its done message, or the one answer to a query up to its
 * acknowledgement. Returns 0, or the error that ended it, reported only
 * when report says so: a query may ask after a device that is not there.
 */
static int
exchange_answers(struct nl_session &nl, nl_request req, bool report,
		 nl_recvmsg_msg_cb_t parse, void *arg)
{
	int err;

	if (!send_request(nl, handed(req), false, false))
		return EIO;
	err = read_answers(nl, parse, arg);
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
	return exchange_answers(
		   nl, new_tc_request(ifindex, type, NLM_F_DUMP, parent, 0, 0),
		   true, parse, arg) == 0;
}

/* Every action of that kind in this network namespace, filters' too. */
bool
dump_actions(struct nl_session &nl, const char *kind,
	     nl_recvmsg_msg_cb_t parse, void *arg)
{
	return exchange_answers(nl, new_action_dump(kind), true, parse, arg) ==
	       0;
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
	return exchange_answers(nl, handed(req), true, parse, arg) == 0;
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
	return exchange_answers(nl, handed(req), false, parse, arg);
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
	    parse, arg);
}
