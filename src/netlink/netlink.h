/* Netlink requests: the route socket, the request envelope and the exchange. */
#pragma once

#include <stdint.h>

#include <netlink/netlink.h>
#include <netlink/msg.h>
#include <netlink/attr.h>

/* Written once by main before any request is built; every tcmsg carries it. */
extern int target_ifindex;
/* The interface's name as given: its IFB is named and marked after it. */
extern const char *target_name;

/* The route socket's descriptor while it is open, else -1. */
extern int route_fd;
/* A device's index by name, 0 when there is none. */
int interface_index(const char *name);

/* Requests refused or never exchanged; any of them makes the exit 1. */
extern int failed_requests;

/*
 * open_route_socket ends the run with a report when a step of the set-up
 * fails, and keeps a socket already open. try_route_socket reports nothing
 * and leaves none open on failure, for open_route_socket to report later.
 */
void try_route_socket(void);
void open_route_socket(void);
void close_route_socket(void);

struct nl_msg *new_tc_request(int type, int flags, uint32_t parent,
			      uint32_t handle, uint32_t info);
struct nl_msg *new_tc_request_on(int ifindex, int type, int flags,
				 uint32_t parent, uint32_t handle,
				 uint32_t info);
/* A link request; up is IFF_UP to bring the device up, or 0. */
struct nl_msg *new_link_request(int type, int flags, int ifindex,
				unsigned int up);
struct nl_msg *new_action_dump(const char *kind);
void add_kind(struct nl_msg *msg, const char *kind);
struct nlattr *open_nest(struct nl_msg *msg, int type);
void close_nest(struct nl_msg *msg, struct nlattr *nest);

/* Reports a request that failed, counts it, and returns false. */
bool request_failed(int err);
bool send_and_wait(struct nl_msg *msg, bool tolerate);
/* Dumps and queries: each answer goes to parse, with arg. */
bool dump_tc(int type, int ifindex, uint32_t parent, nl_recvmsg_msg_cb_t parse,
	     void *arg);
bool dump_actions(const char *kind, nl_recvmsg_msg_cb_t parse, void *arg);
bool dump_links(const char *kind, nl_recvmsg_msg_cb_t parse, void *arg);
int query_link(const char *name, nl_recvmsg_msg_cb_t parse, void *arg);
int ack_error_handler(struct sockaddr_nl *peer, struct nlmsgerr *err,
		      void *arg);
