/* Netlink requests: the route session, the request envelope and the exchange. */
#pragma once

#include <stdint.h>

#include <netlink/netlink.h>
#include <netlink/msg.h>
#include <netlink/attr.h>

/* What failed and the system's code for it, 0 where there is none. */
struct failure {
	const char *what;
	int err;
};

/*
 * A request being built. It owns its message until the exchange takes it,
 * so no path can leak one. A message that could not be had is no request:
 * the exchange reports that instead of sending.
 */
class nl_request {
public:
	explicit nl_request(struct nl_msg *m);
	nl_request(nl_request &&o) : msg(o.msg), alloc_errno(o.alloc_errno)
	{
		o.msg = nullptr;
	}
	nl_request(const nl_request &) = delete;
	nl_request &operator=(const nl_request &) = delete;
	~nl_request() { nlmsg_free(msg); }
	explicit operator bool() const { return msg != nullptr; }
	struct nl_msg *get() const { return msg; }
	struct nl_msg *release()
	{
		struct nl_msg *m = msg;
		msg = nullptr;
		return m;
	}
	int errno_at_alloc() const { return alloc_errno; }

private:
	struct nl_msg *msg;
	int alloc_errno;
};

/* Hands a request on, as std::move would: the tool links no C++ library. */
inline nl_request &&
handed(nl_request &req)
{
	return static_cast<nl_request &&>(req);
}

/*
 * The route socket and what the exchange knows of the request in flight.
 * Failed requests go to report, given by the caller, at the moment they
 * fail, and are counted; a failure after which nothing more can be sent
 * is kept in fatal, and every later request is skipped, unreported.
 */
struct nl_session {
	int fd = -1;
	/* The kernel caps its acknowledgements to the request's header. */
	bool capped = false;
	/* The number of the last request sent, which its answers carry. */
	uint32_t seq = 0;
	int failed = 0;
	struct failure fatal = {nullptr, 0};
	void (*report)(const char *what, int err) = nullptr;
	/* The request in flight: its outcome, and what it tolerates. */
	int pending_error = 0;
	bool tolerate_missing = false;
	/* What it tolerated: there was nothing to act on. */
	bool absent = false;

	nl_session() = default;
	nl_session(const nl_session &) = delete;
	nl_session &operator=(const nl_session &) = delete;
	~nl_session();
};

/* A device's index by name, 0 when there is none. */
int interface_index(const struct nl_session &nl, const char *name);

/*
 * open_route_socket keeps a socket already open and gives the step that
 * failed; try_route_socket leaves none open on failure, for
 * open_route_socket to try and give later.
 */
void try_route_socket(struct nl_session &nl);
struct failure open_route_socket(struct nl_session &nl);
void close_route_socket(struct nl_session &nl);

nl_request new_tc_request(int ifindex, int type, int flags, uint32_t parent,
			  uint32_t handle, uint32_t info);
/* A link request; up is IFF_UP to bring the device up, or 0. */
nl_request new_link_request(int type, int flags, int ifindex, unsigned int up);
nl_request new_action_dump(const char *kind);
void add_kind(struct nl_msg *msg, const char *kind);
struct nlattr *open_nest(struct nl_msg *msg, int type);
void close_nest(struct nl_msg *msg, struct nlattr *nest);

/* Reports a request that failed, counts it, and returns false. */
bool request_failed(struct nl_session &nl, int err);
bool send_and_wait(struct nl_session &nl, nl_request req, bool tolerate);
/* The kernel's error for the request, 0 for none, reported by no one. */
int send_quietly(struct nl_session &nl, nl_request req);
/* Dumps and queries: each answer goes to parse, with arg. */
bool dump_tc(struct nl_session &nl, int type, int ifindex, uint32_t parent,
	     nl_recvmsg_msg_cb_t parse, void *arg);
bool dump_actions(struct nl_session &nl, const char *kind,
		  nl_recvmsg_msg_cb_t parse, void *arg);
bool dump_links(struct nl_session &nl, const char *kind,
		nl_recvmsg_msg_cb_t parse, void *arg);
int query_link(struct nl_session &nl, const char *name,
	       nl_recvmsg_msg_cb_t parse, void *arg);
int query_tc(struct nl_session &nl, int type, int ifindex, uint32_t parent,
	     nl_recvmsg_msg_cb_t parse, void *arg);
int ack_error_handler(struct sockaddr_nl *peer, struct nlmsgerr *err,
		      void *arg);
